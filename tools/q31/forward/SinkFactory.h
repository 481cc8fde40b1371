// The sinks a configuration asks for.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/q31/forward/MqttSinkSettings.h"
#include "tools/q31/forward/PostgresSinkSettings.h"
#include "tools/q31/forward/Sink.h"

namespace q31::tool::forward {

// One sink per enabled [sink.*] table, for the gateway `gateway`.
std::vector<std::unique_ptr<Sink>> MakeSinks(const PostgresSinkSettings& postgres, const MqttSinkSettings& mqtt,
                                             const std::string& gateway);

}  // namespace q31::tool::forward
