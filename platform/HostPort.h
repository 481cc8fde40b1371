// Opening a serial device by path, for host programs (tests, benchmarks, the
// operator tool). The plug-in itself never opens a port: its host does.
#pragma once

#include "platform/SerialPort.h"

namespace q31 {

// Opens `path` for reading and writing in raw mode (8 data bits, no parity,
// no flow control, no translation) at `baud` bits per second, with reads that
// return at once with what is queued. Returns the handle, or kNoPort when the device
// cannot be opened or configured, or the speed is not a standard one
// (1200 ... 230400).
PortHandle OpenHostPort(const char* path, int baud);

// Closes a handle from OpenHostPort. kNoPort is ignored.
void CloseHostPort(PortHandle port);

}  // namespace q31
