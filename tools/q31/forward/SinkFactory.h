// The sinks a configuration asks for.
#pragma once

#include <memory>
#include <vector>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/forward/Sink.h"

namespace q31::tool::forward {

// One sink per [sink.*] table, for the gateway `config.gateway`.
std::vector<std::unique_ptr<Sink>> MakeSinks(const collect::CollectConfig& config);

}  // namespace q31::tool::forward
