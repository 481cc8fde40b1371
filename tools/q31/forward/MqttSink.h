// The journal shipped to an MQTT broker: one JSON message per batch, for
// dashboards and automation, on PREFIX/GATEWAY/METER/KIND, and after every
// attempt the meter's state, retained, on PREFIX/GATEWAY/METER/state.
//
// Delivery is at least once: every message goes with QoS 1 (MQTT 5, or 3.1.1
// with a broker that speaks no 5), and a batch counts as shipped only once
// the broker has acknowledged each of its messages. After a failure the
// forwarder sends the batches again, so a consumer may see a message twice;
// each carries an "id" made of its key and a hash of everything else it
// carries: the same id is always the same content, so repeats are dropped by
// the id. A message the broker refuses (its reason code says so: not
// authorized, too large, ...) or the client cannot send (a topic that is not
// UTF-8) is set aside; the rest goes on.
//
// PREFIX/GATEWAY/generation holds, retained, the generation of the gateway's
// database: a database made anew is told once, when the sink meets it.
//
// With Home Assistant on, the sink also publishes its discovery (see
// HomeAssistant.h): PREFIX/GATEWAY/availability says "online" while the
// connection lasts and the connection's last will says "offline"; every
// config and state goes again when Home Assistant says "online".
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/q31/forward/HomeAssistant.h"
#include "tools/q31/forward/MqttMessage.h"
#include "tools/q31/forward/MqttMessages.h"
#include "tools/q31/forward/MqttSinkSettings.h"
#include "tools/q31/forward/Sink.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace q31::tool::forward {

class MqttSink : public Sink {
public:
    // `stall`: how long Ship waits for the broker's next acknowledgement (and
    // Connect for its answer) before it gives up on the connection.
    MqttSink(MqttSinkSettings settings, std::string gateway,
             std::chrono::milliseconds stall = std::chrono::seconds(10));
    ~MqttSink() override;
    MqttSink(const MqttSink&) = delete;
    MqttSink& operator=(const MqttSink&) = delete;

    std::string Name() const override { return "mqtt"; }
    // The broker keeps no position, so the forwarder's own stands.
    SinkConnection Connect(const JournalOrigin& origin) override;
    std::vector<Rejection> Ship(const std::vector<JournalBatch>& batches) override;
    void Idle() override;
    void Disconnect() override;
    void Abort() override;

    // The messages `batch` gives: its own, and after an attempt the meter's
    // state. Remembers the meter's last good read for the state. The
    // generation is the one of the last Connect (SetGeneration for tests).
    std::vector<MqttMessage> Messages(const JournalBatch& batch) { return messages_.For(batch); }
    void SetGeneration(std::string generation) { messages_.SetGeneration(std::move(generation)); }

private:
    static void OnConnect(mosquitto* client, void* self, int rc, int flags, const struct mqtt5__property* props);
    static void OnDisconnect(mosquitto* client, void* self, int rc, const struct mqtt5__property* props);
    static void OnPublish(mosquitto* client, void* self, int mid, int reason, const struct mqtt5__property* props);
    static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted,
                            const struct mqtt5__property* props);
    static void OnUnsubscribe(mosquitto* client, void* self, int mid, const struct mqtt5__property* props);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);

    [[noreturn]] void Fail(const std::string& what, int rc);
    std::string Where() const;
    std::string LastLogError();
    // One try at a connection with the protocol in force.
    void ConnectOnce();
    // A new client with its callbacks and options (no connection yet).
    void MakeClient();
    void SetCredentials();
    // The reason the connection awaited by ConnectOnce did not come.
    std::string WhyNotConnected() const;
    // What the broker keeps retained on PREFIX/GATEWAY/generation (empty:
    // nothing, or no answer), and ours put there instead.
    std::string SwapGeneration();
    void Drop();

    // Home Assistant: the last will (MakeClient), what goes after a
    // connection, and a batch's readings.
    void SetWill();
    void AnnounceHomeAssistant();
    void PublishOwn(const std::vector<MqttMessage>& messages);
    std::vector<MqttMessage> HomeAssistantMessages(const JournalBatch& batch);

    // One Ship: the messages in flight and what was set aside.
    struct Shipment;
    void Publish(Shipment& shipment, const JournalBatch& batch, const MqttMessage& m);
    // Waits until at most `left` messages await their acknowledgement.
    void WaitFor(Shipment& shipment, std::size_t left);
    // The broker's refusals since the last look, set aside (or thrown, when
    // they refuse for now); `lock` holds mutex_, and is let go meanwhile.
    void TakeRefusals(Shipment& shipment, std::unique_lock<std::mutex>& lock);

    MqttSinkSettings settings_;
    std::string gateway_;
    MqttMessages messages_;
    bool generationTold_ = false;                   // PREFIX/GATEWAY/generation holds ours
    std::unique_ptr<HomeAssistant> homeAssistant_;  // null: off
    std::string statusTopic_;                       // Home Assistant's; empty: off
    std::atomic<bool> announce_{false};             // Home Assistant asked for it all again
    std::chrono::milliseconds stall_;
    int protocol_;  // MQTT_PROTOCOL_V5, or V311 after a broker refused 5
    mosquitto* client_ = nullptr;
    bool looping_ = false;
    std::atomic<bool> aborted_{false};

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
    std::vector<std::pair<int, int>> refused_;  // (mid, reason) of acknowledgements that refused
    int awaitedMid_ = -1;                       // a subscription or its end, awaited by Connect
    bool awaitedDone_ = false;
    std::string retainedGeneration_;  // as received on PREFIX/GATEWAY/generation
};

}  // namespace q31::tool::forward
