// How `q31 collect` was asked to run: its command line, and how it reads
// its configuration again.
#pragma once

#include <functional>
#include <string>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/CollectOutput.h"

namespace q31::tool::collect {

struct CollectOptions {
    std::string configPath;  // for the warning of a file others may read
    std::string db;
    bool once = false;
    bool jsonl = false;
    bool trace = false;
    LogLevel logLevel = LogLevel::Info;
    bool journal = false;  // stderr is the systemd journal
    // Reads the configuration again (SIGHUP); throws ToolError when the file
    // is wrong. Empty: no reloading.
    std::function<CollectConfig()> reload;
};

}  // namespace q31::tool::collect
