// Two connected byte ports, for driving the channel from the other end
// inside one process (tests, benchmarks): what one side writes, the other reads.
#pragma once

#include "platform/SerialPort.h"

namespace q31 {

// Returns false when the system cannot make one.
bool CreatePortPair(PortHandle& first, PortHandle& second);
void ClosePort(PortHandle port);

}  // namespace q31
