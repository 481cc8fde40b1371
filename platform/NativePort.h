// What PortOpen asks of the OS.
#pragma once

#include "platform/LineSettings.h"
#include "platform/PortOpen.h"

namespace q31 {

// Opens and sets a serial device for the library's own use (raw, no flow
// control, reads that return at once), taken for this handle alone.
PortHandle NativeOpenDevice(const char* path, const LineSettings& settings, PortOpenError* error);

// Connects a TCP stream to `host`:`port` within `timeoutMs`, with Nagle's
// delay off (a packet goes out as soon as it is written).
PortHandle NativeConnect(const char* host, int port, int timeoutMs, PortOpenError* error);

void NativeCloseDevice(PortHandle port);
void NativeCloseSocket(PortHandle port);

}  // namespace q31
