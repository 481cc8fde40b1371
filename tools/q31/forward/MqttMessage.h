// One message for the MQTT broker.
#pragma once

#include <string>

namespace q31::tool::forward {

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

}  // namespace q31::tool::forward
