// The journal shipped to an MQTT broker: one JSON message per batch, for
// dashboards and automation, on PREFIX/GATEWAY/METER/KIND, and after every
// attempt the meter's state, retained, on PREFIX/GATEWAY/METER/state.
//
// Delivery is at least once: every message goes with QoS 1 in a session the
// broker keeps (clean session off), and a batch counts as shipped only once
// the broker has acknowledged each of its messages. After a failure the
// forwarder sends the batches again, so a consumer may see a message twice;
// each carries an "id" made of its key, and the same batch always gives the
// same id and the same bytes, so repeats are dropped by the id.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/forward/Sink.h"

struct mosquitto;
struct mosquitto_message;

namespace q31::tool::forward {

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

class MqttSink : public Sink {
public:
    // `stall`: how long Ship waits for the broker's next acknowledgement (and
    // Connect for its answer) before it gives up on the connection.
    MqttSink(collect::MqttSinkSpec spec, std::string gateway,
             std::chrono::milliseconds stall = std::chrono::seconds(10));
    ~MqttSink() override;
    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

    std::string Name() const override { return "mqtt"; }
    // The broker keeps no position, so the forwarder's own stands.
    std::int64_t Connect(std::int64_t localPosition) override;
    void Ship(const std::vector<JournalBatch>& batches) override;
    void Disconnect() override;

    // The messages `batch` gives: its own, and after an attempt the meter's
    // state. Remembers the meter's last good read for the state.
    std::vector<MqttMessage> Messages(const JournalBatch& batch);

private:
    static void OnConnect(mosquitto* client, void* self, int rc);
    static void OnDisconnect(mosquitto* client, void* self, int rc);
    static void OnPublish(mosquitto* client, void* self, int mid);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);

    [[noreturn]] void Fail(const std::string& what, int rc);
    std::string Where() const;
    std::string LastLogError();
    void Drop();

    collect::MqttSinkSpec spec_;
    std::string gateway_;
    std::chrono::milliseconds stall_;
    mosquitto* client_ = nullptr;
    bool looping_ = false;
    // The meter's last good read, for a journal that does not carry it.
    std::map<std::string, std::int64_t> lastOk_;

    // Shared with the client's network thread.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    int connackRc_ = -1;        // the broker's answer to the connection; -1: none yet
    std::int64_t drops_ = 0;    // connections lost since the client was made
    std::set<int> unacked_;     // sent, acknowledgement awaited
    std::set<int> ackedEarly_;  // acknowledged before publish had handed out its id
    std::int64_t acks_ = 0;
    std::size_t wakeAt_ = 0;  // Ship waits until no more than this many are unacknowledged
    std::string logError_;
};

}  // namespace q31::tool::forward
