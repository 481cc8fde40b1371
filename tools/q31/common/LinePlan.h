// What a line to the meters is: a serial port and how it is set, or a
// virtual line, the q31-sim program on a pseudo-terminal, and what it plays.
#pragma once

#include <string>
#include <vector>

#include "support/HostPort.h"

namespace q31::tool {

struct LinePlan {
    // The device; for a virtual line, its name in messages.
    std::string port;
    HostPortSettings settings;
    bool isVirtual = false;
    // A virtual line: q31-sim's options, and its bus file (TOML: the meters,
    // their faults and the clock), none when empty.
    std::vector<std::string> simArguments;
    std::string simBus;
};

}  // namespace q31::tool
