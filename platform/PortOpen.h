// Opening a port by its URL (see PortUrl.h) for a host that leaves it to
// the library, and closing it again.
#pragma once

#include "platform/LineSettings.h"
#include "platform/SerialPort.h"

namespace q31 {

struct PortOpenError {
    // The URL or the settings are not valid: nothing was tried.
    bool argument = false;
    // The OS's error code (errno, GetLastError/WSAGetLastError); 0 when the
    // failure had none (a name that does not resolve, a server that does
    // not speak RFC 2217).
    int osError = 0;
    char text[200] = {};
};

// Opens `url` at `settings`: a device is set to them, a raw TCP line only
// takes its character time from them, an RFC 2217 server is told them. A
// connection and the telnet opening each wait at most `timeoutMs`. Returns
// kNoPort on failure with *error filled.
PortHandle PortOpen(const char* url, const LineSettings& settings, int timeoutMs, PortOpenError* error);

// Closes a port PortOpen opened; false (doing nothing) for any other handle.
bool PortClose(PortHandle port);

}  // namespace q31
