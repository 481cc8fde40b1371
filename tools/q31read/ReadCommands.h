// All the operator tool's commands.
#pragma once

#include <string>
#include <vector>

#include "tools/q31read/ToolSession.h"

namespace q31::tool {

// Installs every family's callbacks into `slot`.
void FillCallbacks(TQ31Slot& slot);

// Runs one command with its arguments; prints the result on stdout.
// Returns 0 on success, non-zero (with a message on stderr) otherwise.
int RunCommand(Session& session, const std::string& command, const std::vector<std::string>& args);

// The commands the tool knows, for its usage text.
std::string CommandHelp();

}  // namespace q31::tool
