// What the MQTT sink publishes for a journal batch: the topics and the JSON
// messages, each with an id that names its content (the same id is always
// the same content, so a consumer drops repeats by the id).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/q31/forward/JournalBatch.h"
#include "tools/q31/forward/MqttMessage.h"

namespace q31::tool::forward {

class MqttMessages {
public:
    MqttMessages(std::string prefix, std::string gateway);

    // The generation of the gateway's database the batches come from.
    void SetGeneration(std::string generation) { generation_ = std::move(generation); }
    const std::string& Generation() const { return generation_; }

    // PREFIX/GATEWAY/METER/KIND.
    std::string Topic(const std::string& meter, const std::string& kind) const;
    // PREFIX/GATEWAY/KIND: the gateway's own.
    std::string GatewayTopic(const std::string& kind) const;
    // PREFIX/GATEWAY/generation and what it holds, retained.
    std::string GenerationTopic() const;
    std::string GenerationPayload() const;

    // The messages `batch` gives: its own, and after an attempt the meter's
    // state. Remembers the meter's last good read for the state.
    std::vector<MqttMessage> For(const JournalBatch& batch);

private:
    // GATEWAY/GENERATION/METER/: the start of every message's id.
    std::string Key(const JournalBatch& b) const;
    MqttMessage Archive(const JournalBatch& b) const;
    MqttMessage Snapshot(const JournalBatch& b) const;
    MqttMessage Log(const JournalBatch& b) const;
    MqttMessage Attempt(const JournalBatch& b) const;
    MqttMessage State(const JournalBatch& b);
    MqttMessage Event(const JournalBatch& b) const;

    std::string prefix_;
    std::string gateway_;
    std::string generation_;
    // The meter's last good read, for a journal that does not carry it.
    std::map<std::string, std::int64_t> lastOk_;
};

}  // namespace q31::tool::forward
