// Home Assistant's MQTT discovery for the gateway's meters: a retained
// config per meter, module and quantity on DISCOVERY/sensor/NODE/OBJECT/config
// and its state, retained, on PREFIX/GATEWAY/METER/reading/OBJECT; every
// entity is available while PREFIX/GATEWAY/availability says "online".
//
// A register never shows a lower total. A meter that was reset or replaced
// starts new entities (its serial number and epoch are in their ids), so the
// old total stays with the old entity; within one entity a value below the
// last one published (a register that stepped back without a reset the
// collector saw) is held back until the register passes it again.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/q31/forward/HomeAssistantReading.h"
#include "tools/q31/forward/MqttMessage.h"
#include "tools/q31/forward/MqttMessages.h"

namespace q31::tool::forward {

class HomeAssistant {
public:
    // `discoveryPrefix`: where Home Assistant looks ("homeassistant");
    // `topics`: the sink's own, which the states and availability go under.
    HomeAssistant(std::string discoveryPrefix, const MqttMessages& topics, std::string gateway);

    std::string AvailabilityTopic() const;
    // Where Home Assistant says "online" when it starts.
    std::string StatusTopic() const { return discoveryPrefix_ + "/status"; }
    // The gateway as an entity of its own (connected or not), which the
    // meters' devices hang from.
    MqttMessage GatewayConfig() const;

    // The config of an entity seen for the first time, and the state unless
    // it is held back.
    std::vector<MqttMessage> For(const HomeAssistantReading& r);
    // The gateway's config and every entity's config and last state published.
    std::vector<MqttMessage> All() const;

private:
    struct Entity {
        MqttMessage config;
        MqttMessage state;  // empty topic: none published yet
        bool total = false;
        double shown = 0;
    };

    std::string Node() const;
    MqttMessage Config(const HomeAssistantReading& r, const std::string& object, const std::string& stateTopic) const;

    std::string discoveryPrefix_;
    const MqttMessages& topics_;
    std::string gateway_;
    std::map<std::string, Entity> entities_;  // by object id
};

}  // namespace q31::tool::forward
