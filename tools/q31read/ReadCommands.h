// The operator tool's requests: each starts one export, waits for its
// callback while pumping the plug-in's messages, and prints the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/q31read/PluginApi.h"

namespace q31::tool {

struct Session {
    PluginApi* api = nullptr;
    SDevIdent ident{};      // filled by the identification
    int waitMs = 10000;     // how long to wait for one callback
};

// Installs the callbacks into `slot` (the port, echo flag and time-out are the caller's).
void FillCallbacks(TQ31Slot& slot);

// Runs one command with its arguments; prints the result on stdout.
// Returns 0 on success, non-zero (with a message on stderr) otherwise.
int RunCommand(Session& session, const std::string& command, const std::vector<std::string>& args);

// The commands the tool knows, for its usage text.
std::string CommandHelp();

}  // namespace q31::tool
