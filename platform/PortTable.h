// The ports the library opened itself, by handle, so that the byte I/O of
// SerialPort.h treats a socket or a telnet line as it needs. A handle the
// host opened is in no table entry and goes straight to the OS.
#pragma once

#include <memory>

#include "platform/OpenedPort.h"

namespace q31 {

// Null for a handle the library did not open. Costs no lock while the
// library has opened no port at all.
OpenedPort* FindOpenedPort(PortHandle handle);

// Takes `port` into the table (replacing nothing: handles are unique while open).
OpenedPort* AddOpenedPort(std::unique_ptr<OpenedPort> port);

// Takes the entry out of the table; null when the handle is not there.
std::unique_ptr<OpenedPort> RemoveOpenedPort(PortHandle handle);

}  // namespace q31
