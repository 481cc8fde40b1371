// The collector's loop: every meter of the configuration through its own
// session, all on this thread; meters on one port are read side by side and
// the plug-in gives their requests the line in turn (an RS-485 line carries
// one exchange at once); a meter that fails is noted, tried again after a
// growing pause, and the others go on meanwhile.
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "tools/q31/PluginApi.h"
#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/CollectOutput.h"
#include "tools/q31/collect/CollectStore.h"

namespace q31::tool::collect {

struct CollectOptions {
    std::string db;
    bool once = false;
    bool jsonl = false;
    bool trace = false;
};

class Collector {
public:
    Collector(const CollectConfig& config, const CollectOptions& options, PluginApi& api);

    // Runs until one pass is over (--once) or `stop` becomes non-zero.
    // Returns the exit status: 0, or the kind of the first meter's failure
    // that no retry cured.
    int Run(const volatile std::sig_atomic_t& stop);

private:
    const CollectConfig& config_;
    CollectOptions options_;
    PluginApi& api_;
};

}  // namespace q31::tool::collect
