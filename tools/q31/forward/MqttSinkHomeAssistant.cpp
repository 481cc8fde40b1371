// The MQTT sink's part for Home Assistant: the last will, the announcement
// after a connection or when Home Assistant asks, and each archive batch's
// newest reading.
#include <mosquitto.h>

#include <string_view>

#include "tools/q31/common/Quantity.h"
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

// The batch's newest value, when its series is hourly (the newest records
// there are) and has a quantity.
std::vector<MqttMessage> MqttSink::HomeAssistantMessages(const JournalBatch& batch) {
    const ArchiveRows& a = batch.archive;
    const std::string_view series = a.series;
    if (a.values.empty() || a.stamps.size() != a.values.size() || !series.ends_with("_hour")) return {};
    const RecordStamp& newest = a.stamps.back();
    if (!newest.quantity) return {};
    HomeAssistantReading r;
    r.meter = batch.meter;
    r.serial = batch.serial;
    r.epoch = batch.epoch;
    r.module = a.module;
    r.series = a.series;
    const auto meter = settings_.quantities.find(batch.meter);
    const Quantity* q = meter == settings_.quantities.end() ? nullptr : QuantityOf(meter->second, series);
    r.name = q && !q->name.empty() ? q->name : std::string(DefaultQuantityName(SeriesLetter(series)));
    r.unit = newest.unit;
    r.value = *newest.quantity;
    r.raw = a.values.back();
    r.record = static_cast<std::int64_t>(a.first) + static_cast<std::int64_t>(a.values.size()) - 1;
    r.closedAt = newest.closedAt;
    r.estimated = newest.estimated;
    return homeAssistant_->For(r);
}

}  // namespace q31::tool::forward
