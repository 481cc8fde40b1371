#include "tools/q31/forward/SinkFactory.h"

#include "tools/q31/forward/MqttSink.h"
#include "tools/q31/forward/PostgresSink.h"

namespace q31::tool::forward {

std::vector<std::unique_ptr<Sink>> MakeSinks(const PostgresSinkSettings& postgres, const MqttSinkSettings& mqtt,
                                             const std::string& gateway) {
    std::vector<std::unique_ptr<Sink>> sinks;
    if (postgres.enabled) sinks.push_back(std::make_unique<PostgresSink>(postgres, gateway));
    if (mqtt.enabled) sinks.push_back(std::make_unique<MqttSink>(mqtt, gateway));
    return sinks;
}

}  // namespace q31::tool::forward
