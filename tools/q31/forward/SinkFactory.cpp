#include "tools/q31/forward/SinkFactory.h"

#include "tools/q31/forward/MqttSink.h"
#include "tools/q31/forward/PostgresSink.h"

namespace q31::tool::forward {

std::vector<std::unique_ptr<Sink>> MakeSinks(const collect::CollectConfig& config) {
    std::vector<std::unique_ptr<Sink>> sinks;
    if (config.postgres.enabled) sinks.push_back(std::make_unique<PostgresSink>(config.postgres, config.gateway));
    if (config.mqtt.enabled) sinks.push_back(std::make_unique<MqttSink>(config.mqtt, config.gateway));
    return sinks;
}

}  // namespace q31::tool::forward
