// The MQTT sink's part for Home Assistant: the last will, the announcement
// after a connection or when Home Assistant asks, and each archive batch's
// newest reading.
#include <mosquitto.h>

#include "tools/q31/forward/MqttSink.h"

namespace q31::tool::forward {

void MqttSink::SetWill() {
    static const std::string kOffline = "offline";
    const std::string topic = homeAssistant_->AvailabilityTopic();
    const int rc =
        mosquitto_will_set(client_, topic.c_str(), static_cast<int>(kOffline.size()), kOffline.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot set the last will on " + topic, rc);
}

void MqttSink::AnnounceHomeAssistant() {
    // Not awaited: a broker that will not let the gateway read Home
    // Assistant's status only costs the announcement on its restart.
    const int rc = mosquitto_subscribe(client_, nullptr, statusTopic_.c_str(), 1);
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) throw SinkError(Where() + ": the connection was lost");
    std::vector<MqttMessage> all = homeAssistant_->All();
    // Available once the entities are known, so none shows its last value
    // with no config behind it.
    all.push_back({homeAssistant_->AvailabilityTopic(), "online", true});
    PublishOwn(all);
}

void MqttSink::Idle() {
    if (homeAssistant_ && announce_.exchange(false)) AnnounceHomeAssistant();
}

std::vector<MqttMessage> MqttSink::HomeAssistantMessages(const JournalBatch&) { return {}; }

}  // namespace q31::tool::forward
