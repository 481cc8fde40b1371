// The MQTT sink's callbacks, on the client's network thread: each records
// what happened under the sink's mutex and wakes whoever waits for it.
#include <mosquitto.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "tools/q31/forward/MqttSink.h"

namespace q31::tool::forward {

void MqttSink::OnConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->connackRc_ = rc;
    sink->connected_ = rc == 0;
    sink->changed_.notify_all();
}

void MqttSink::OnDisconnect(mosquitto*, void* self, int, const mosquitto_property*) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->connected_ = false;
    ++sink->drops_;
    sink->changed_.notify_all();
}

void MqttSink::OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    if (mid == sink->awaitedMid_) {
        // The generation's, which Connect awaits.
        sink->awaitedDone_ = true;
        sink->changed_.notify_all();
        return;
    }
    if (sink->unacked_.erase(mid) == 0) sink->ackedEarly_.insert(mid);
    ++sink->acks_;
    // MQTT 5: 0x80 and above refuse the message.
    if (reason >= 0x80) {
        sink->refused_.emplace_back(mid, reason);
        sink->changed_.notify_all();
    } else if (sink->unacked_.size() <= sink->wakeAt_) {
        sink->changed_.notify_all();
    }
}

void MqttSink::OnSubscribe(mosquitto*, void* self, int mid, int, const int*, const mosquitto_property*) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    if (mid == sink->awaitedMid_) sink->awaitedDone_ = true;
    sink->changed_.notify_all();
}

void MqttSink::OnUnsubscribe(mosquitto*, void* self, int mid, const mosquitto_property*) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    if (mid == sink->awaitedMid_) sink->awaitedDone_ = true;
    sink->changed_.notify_all();
}

void MqttSink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* sink = static_cast<MqttSink*>(self);
    if (!sink->statusTopic_.empty() && message->topic && sink->statusTopic_ == message->topic) {
        // Home Assistant has started: it has forgotten what was not retained.
        const std::string said = message->payload
                                     ? std::string(static_cast<const char*>(message->payload),
                                                   static_cast<std::size_t>(std::max(message->payloadlen, 0)))
                                     : std::string();
        if (said == "online") sink->announce_ = true;
        return;
    }
    if (!message->retain || !message->payload) return;
    const std::string text(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen));
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("generation") || !j["generation"].is_string()) return;
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->retainedGeneration_ = j["generation"].get<std::string>();
}

void MqttSink::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || !text) return;
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->logError_ = text;
    sink->changed_.notify_all();
}

}  // namespace q31::tool::forward
