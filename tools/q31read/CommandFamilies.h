// The operator tool's commands, one family per kind of request. Each family
// installs its callbacks into the slot record and runs its own commands.
#pragma once

#include <string>
#include <vector>

#include "tools/q31read/ToolSession.h"

namespace q31::tool {

using Args = std::vector<std::string>;

struct CommandFamily {
    void (*fillCallbacks)(TQ31Slot& slot);
    // Returns -1 when the command is not this family's, else the exit code.
    int (*run)(Session& s, const std::string& command, const Args& args);
    const char* help;
};

extern const CommandFamily kModuleFamily;
extern const CommandFamily kArchiveFamily;
extern const CommandFamily kLogFamily;

}  // namespace q31::tool
