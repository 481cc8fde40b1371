// Opening a serial device by path, for host programs (tests, benchmarks, the
// operator tool). The plug-in itself never opens a port: its host does.
#pragma once

#include <string>

#include "platform/SerialPort.h"

namespace q31 {

enum class HostParity { None, Even, Odd };

// How the line is set up: always 8 data bits, raw, no flow control.
struct HostPortSettings {
    int baud = 9600;
    HostParity parity = HostParity::None;
    int stopBits = 1;  // 1 or 2
};

// Whether `baud` is a speed the system's serial driver offers by name
// (50 ... 4000000 on Linux; what the DCB takes on Windows).
bool HostPortSpeedSupported(int baud);

// Opens `path` for reading and writing in raw mode (8 data bits, no flow
// control, no translation) with the given speed, parity and stop bits, with
// reads that return at once with what is queued. The port is taken for this
// handle alone (on POSIX an advisory lock and the terminal's exclusive mode):
// while it is open, another open fails with EBUSY (ERROR_ACCESS_DENIED on
// Windows, whose ports are exclusive anyway). Returns the handle, or
// kNoPort when the device cannot be opened or configured; then *osError (when
// given) holds the OS's reason (errno, GetLastError), or EINVAL /
// ERROR_INVALID_PARAMETER for settings the system does not offer.
PortHandle OpenHostPort(const char* path, const HostPortSettings& settings, int* osError = nullptr);

// The same at `baud`, 8N1.
PortHandle OpenHostPort(const char* path, int baud);

// The OS's text for an error code from OpenHostPort.
const char* HostPortErrorText(int osError);

// Whether an error code from OpenHostPort means another program holds the port.
bool HostPortBusy(int osError);

// The same for a port that could not be opened, with the remedy where one is
// known: on Linux a serial device belongs to the dialout group, and a user
// outside it is refused (EACCES) until added to it.
std::string HostPortOpenErrorText(int osError);

// Drops what the port has received and nobody read yet. Returns how many
// bytes that was (0 when the system cannot tell); -1 when it failed.
int DiscardHostPortInput(PortHandle port);

// Closes a handle from OpenHostPort. kNoPort is ignored.
void CloseHostPort(PortHandle port);

}  // namespace q31
