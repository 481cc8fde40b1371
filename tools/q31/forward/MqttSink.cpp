#include "tools/q31/forward/MqttSink.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace q31::tool::forward {

namespace {

// Messages sent and not yet acknowledged, at most: the client numbers its
// messages with 16 bits, so far fewer than 65535 may wait at a time, and the
// queue in memory stays bounded however large the batches.
constexpr std::size_t kWindow = 1000;

std::once_flag gLibraryReady;

std::string ReadPassword(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string password;
    if (!in) throw SinkError("MQTT: cannot read the password file " + path + ": " + std::strerror(errno));
    if (!std::getline(in, password)) throw SinkError("MQTT: the password file " + path + " is empty");
    while (!password.empty() && (password.back() == '\r' || password.back() == '\n')) password.pop_back();
    return password;
}

std::string ErrorText(int rc, int err) { return rc == MOSQ_ERR_ERRNO ? std::strerror(err) : mosquitto_strerror(rc); }

// A publication the client refuses for what the message is (its topic, its
// size), not for the connection: another message may well go.
bool MessageFault(int rc) {
    return rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_PAYLOAD_SIZE || rc == MOSQ_ERR_OVERSIZE_PACKET ||
           rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_RETAIN_NOT_SUPPORTED || rc == MOSQ_ERR_TOPIC_ALIAS_INVALID;
}

// An acknowledgement that refuses for now, not for what the message is: the
// shipment is tried again later.
bool Busy(int reason) { return reason == MQTT_RC_QUOTA_EXCEEDED || reason == MQTT_RC_PACKET_ID_IN_USE; }

}  // namespace

// Which batch each message in flight is of, for the broker's refusals.
struct MqttSink::Shipment {
    struct Sent {
        const JournalBatch* batch;
        std::string topic;
    };
    std::int64_t drops = 0;  // the connections lost before it began
    std::unordered_map<int, Sent> sent;
    std::vector<Rejection> rejected;
};

MqttSink::MqttSink(MqttSinkSettings settings, std::string gateway, std::chrono::milliseconds stall)
    : settings_(std::move(settings)),
      gateway_(std::move(gateway)),
      messages_(settings_.prefix, gateway_),
      stall_(stall),
      protocol_(MQTT_PROTOCOL_V5) {
    std::call_once(gLibraryReady, [] { mosquitto_lib_init(); });
    if (settings_.clientId.empty()) settings_.clientId = "q31-" + gateway_;
    if (settings_.homeAssistant) {
        homeAssistant_ = std::make_unique<HomeAssistant>(settings_.homeAssistantPrefix, messages_, gateway_);
        statusTopic_ = homeAssistant_->StatusTopic();
    }
}

MqttSink::~MqttSink() { Drop(); }

std::string MqttSink::Where() const { return "MQTT broker " + settings_.host + ":" + std::to_string(settings_.port); }

std::string MqttSink::LastLogError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logError_.empty() ? std::string() : " (" + logError_ + ")";
}

void MqttSink::Fail(const std::string& what, int rc) {
    const std::string text = ErrorText(rc, errno);
    const std::string message = Where() + ": " + what + ": " + text + LastLogError();
    Drop();
    throw SinkError(message);
}

void MqttSink::Abort() {
    aborted_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

SinkConnection MqttSink::Connect(const JournalOrigin& origin) {
    if (aborted_) throw SinkError(Where() + ": stopped");
    messages_.SetGeneration(origin.generation);
    SinkConnection c;
    c.position = origin.position;
    if (client_) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_) return c;
    }
    try {
        ConnectOnce();
    } catch (const SinkError&) {
        // A broker that speaks no MQTT 5 says so in its answer: it is
        // spoken to in 3.1.1 from then on.
        if (protocol_ != MQTT_PROTOCOL_V5 || connackRc_ != MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) throw;
        protocol_ = MQTT_PROTOCOL_V311;
        ConnectOnce();
        c.note = "the broker speaks no MQTT 5: MQTT 3.1.1 from now on (a message it refuses is not told)";
    }
    if (!generationTold_) {
        const std::string earlier = SwapGeneration();
        if (!earlier.empty() && earlier != messages_.Generation()) c.earlierGeneration = earlier;
    }
    if (homeAssistant_) AnnounceHomeAssistant();
    return c;
}

void MqttSink::ConnectOnce() {
    MakeClient();
    // Without blocking: the connection is made by the client's thread, and
    // a stop does not wait for a broker that does not answer.
    int rc = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, settings_.keepaliveS);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot connect", rc);
    rc = mosquitto_loop_start(client_);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot start the client's thread", rc);
    looping_ = true;

    std::unique_lock<std::mutex> lock(mutex_);
    // The TLS handshake may end in the client's thread, which then gives up
    // with no more than an error in its log.
    changed_.wait_for(lock, stall_, [this] { return connackRc_ >= 0 || drops_ > 0 || !logError_.empty() || aborted_; });
    if (connected_ && !aborted_) return;
    const std::string message = WhyNotConnected();
    lock.unlock();
    Drop();
    throw SinkError(message);
}

std::string MqttSink::WhyNotConnected() const {
    std::string message = Where();
    if (aborted_) message += ": stopped while connecting";
    else if (connackRc_ > 0)
        message += ": refused the connection: " + std::string(protocol_ == MQTT_PROTOCOL_V5
                                                                  ? mosquitto_reason_string(connackRc_)
                                                                  : mosquitto_connack_string(connackRc_));
    else if (drops_ > 0) message += ": closed the connection before accepting it";
    else if (!logError_.empty()) message += ": cannot connect";
    else message += ": no answer within " + std::to_string(stall_.count()) + " ms";
    if (!logError_.empty()) message += " (" + logError_ + ")";
    return message;
}

void MqttSink::MakeClient() {
    Drop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        connackRc_ = -1;
        drops_ = 0;
        unacked_.clear();
        ackedEarly_.clear();
        refused_.clear();
        logError_.clear();
    }
    // No clean session: the broker keeps the session under the client id
    // while the connection lasts, so that a second connection under the
    // same id takes it over.
    client_ = mosquitto_new(settings_.clientId.c_str(), false, this);
    if (!client_) throw SinkError(Where() + ": cannot make a client: " + std::strerror(errno));
    mosquitto_connect_v5_callback_set(client_, &MqttSink::OnConnect);
    mosquitto_disconnect_v5_callback_set(client_, &MqttSink::OnDisconnect);
    mosquitto_publish_v5_callback_set(client_, &MqttSink::OnPublish);
    mosquitto_subscribe_v5_callback_set(client_, &MqttSink::OnSubscribe);
    mosquitto_unsubscribe_v5_callback_set(client_, &MqttSink::OnUnsubscribe);
    mosquitto_message_callback_set(client_, &MqttSink::OnMessage);
    mosquitto_log_callback_set(client_, &MqttSink::OnLog);
    // MQTT 5: the broker's acknowledgement says when it refuses a message.
    int rc = mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, protocol_);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot set the protocol version", rc);
    // The forwarder reconnects after its own back-off; the client's network
    // thread must not do it behind its back (a lost connection fails Ship).
    rc = mosquitto_reconnect_delay_set(client_, 3600, 3600, false);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot set the reconnection delay", rc);
    if (homeAssistant_) SetWill();
    SetCredentials();
}

void MqttSink::SetCredentials() {
    if (!settings_.username.empty() || !settings_.passwordFile.empty()) {
        if (settings_.username.empty()) {
            Drop();
            throw SinkError(Where() + ": a password file needs a username");
        }
        std::string password;
        if (!settings_.passwordFile.empty()) {
            try {
                password = ReadPassword(settings_.passwordFile);
            } catch (...) {
                Drop();
                throw;
            }
        }
        const int rc = mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                                 settings_.passwordFile.empty() ? nullptr : password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) Fail("cannot set the username", rc);
    }
    if (!settings_.caFile.empty()) {
        const int rc = mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr,
                                         settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
                                         settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) Fail("cannot use the TLS files " + settings_.caFile, rc);
    }
}

std::string MqttSink::SwapGeneration() {
    // What is retained comes right after the subscription is granted, and
    // before the broker ends the subscription: once that is acknowledged,
    // whatever was there has come.
    const std::string topic = messages_.GenerationTopic();
    auto await = [&](int mid) {
        std::unique_lock<std::mutex> lock(mutex_);
        awaitedMid_ = mid;
        awaitedDone_ = false;
        changed_.wait_for(lock, stall_, [&] { return awaitedDone_ || drops_ > 0 || aborted_; });
        awaitedMid_ = -1;
        return awaitedDone_;
    };
    {
        std::lock_guard<std::mutex> lock(mutex_);
        retainedGeneration_.clear();
        awaitedMid_ = -1;
    }
    int mid = 0;
    // Nothing here fails the connection: a broker that keeps nothing, or
    // will not let the gateway read its own topic, only misses the news.
    if (mosquitto_subscribe(client_, &mid, topic.c_str(), 0) != MOSQ_ERR_SUCCESS || !await(mid)) return {};
    if (mosquitto_unsubscribe(client_, &mid, topic.c_str()) != MOSQ_ERR_SUCCESS || !await(mid)) return {};
    std::string earlier;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        earlier = retainedGeneration_;
    }
    if (earlier != messages_.Generation()) {
        const std::string payload = messages_.GenerationPayload();
        {
            // The acknowledgement may come before publish has handed out the id.
            std::lock_guard<std::mutex> lock(mutex_);
            awaitedMid_ = 0;
            awaitedDone_ = false;
        }
        if (mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                              true) != MOSQ_ERR_SUCCESS)
            return {};
        std::unique_lock<std::mutex> lock(mutex_);
        awaitedMid_ = mid;
        if (ackedEarly_.erase(mid) > 0) awaitedDone_ = true;
        changed_.wait_for(lock, stall_, [&] { return awaitedDone_ || drops_ > 0 || aborted_; });
        awaitedMid_ = -1;
        // Not kept: told again at the next connection.
        if (!awaitedDone_) return earlier;
    }
    generationTold_ = true;
    return earlier;
}

std::vector<Rejection> MqttSink::Ship(const std::vector<JournalBatch>& batches) {
    if (aborted_) throw SinkError(Where() + ": stopped");
    if (!client_) throw SinkError(Where() + ": not connected");
    Shipment shipment;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) throw SinkError(Where() + ": the connection was lost");
        shipment.drops = drops_;
        ackedEarly_.clear();
        refused_.clear();
    }
    if (announce_.exchange(false)) AnnounceHomeAssistant();
    for (const JournalBatch& batch : batches) {
        for (const MqttMessage& m : Messages(batch)) {
            WaitFor(shipment, kWindow - 1);
            Publish(shipment, batch, m);
        }
        if (!homeAssistant_ || batch.kind != JournalBatch::Kind::Archive) continue;
        for (const MqttMessage& m : HomeAssistantMessages(batch)) {
            WaitFor(shipment, kWindow - 1);
            Publish(shipment, batch, m);
        }
    }
    WaitFor(shipment, 0);
    return std::move(shipment.rejected);
}

void MqttSink::Publish(Shipment& shipment, const JournalBatch& batch, const MqttMessage& m) {
    int mid = 0;
    const int rc = mosquitto_publish(client_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                     m.payload.data(), 1, m.retain);
    // The client may see the connection gone before its thread has told us.
    if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) throw SinkError(Where() + ": the connection was lost");
    if (MessageFault(rc)) {
        shipment.rejected.push_back(
            {batch.seq, Where() + ": cannot publish on " + m.topic + ": " + ErrorText(rc, errno)});
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS)
        throw SinkError(Where() + ": cannot publish on " + m.topic + ": " + ErrorText(rc, errno));
    shipment.sent[mid] = {&batch, m.topic};
    std::lock_guard<std::mutex> lock(mutex_);
    // The network thread may have had the acknowledgement before publish returned the id.
    if (ackedEarly_.erase(mid) == 0) unacked_.insert(mid);
}

void MqttSink::PublishOwn(const std::vector<MqttMessage>& messages) {
    Shipment shipment;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) throw SinkError(Where() + ": the connection was lost");
        shipment.drops = drops_;
    }
    for (const MqttMessage& m : messages) {
        WaitFor(shipment, kWindow - 1);
        int mid = 0;
        const int rc = mosquitto_publish(client_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                         m.payload.data(), 1, m.retain);
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) throw SinkError(Where() + ": the connection was lost");
        // No batch to set aside: a message the client refuses for itself
        // (a meter's name that is no UTF-8) is left out, the rest goes.
        if (MessageFault(rc)) continue;
        if (rc != MOSQ_ERR_SUCCESS)
            throw SinkError(Where() + ": cannot publish on " + m.topic + ": " + ErrorText(rc, errno));
        std::lock_guard<std::mutex> lock(mutex_);
        if (ackedEarly_.erase(mid) == 0) unacked_.insert(mid);
    }
    WaitFor(shipment, 0);
}

void MqttSink::TakeRefusals(Shipment& shipment, std::unique_lock<std::mutex>& lock) {
    if (refused_.empty()) return;
    std::vector<std::pair<int, int>> refused;
    refused.swap(refused_);
    lock.unlock();
    for (const auto& [mid, reason] : refused) {
        const auto it = shipment.sent.find(mid);
        if (Busy(reason)) throw SinkError(Where() + ": refused a message for now: " + mosquitto_reason_string(reason));
        if (it == shipment.sent.end()) continue;  // not a batch's (the generation's)
        const JournalBatch& b = *it->second.batch;
        shipment.rejected.push_back(
            {b.seq, Where() + ": refused a message on " + it->second.topic + ": " + mosquitto_reason_string(reason)});
    }
    lock.lock();
}

// Gives up when the connection drops or the broker makes no progress. The
// network thread wakes this one only when enough have come, so a long wait
// costs no switch per acknowledgement; progress in between is seen by the
// count when the deadline passes.
void MqttSink::WaitFor(Shipment& shipment, std::size_t left) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::int64_t acks = acks_;
    auto deadline = std::chrono::steady_clock::now() + stall_;
    wakeAt_ = left;
    TakeRefusals(shipment, lock);
    while (unacked_.size() > left) {
        if (aborted_) throw SinkError(Where() + ": stopped while shipping");
        if (drops_ != shipment.drops)
            throw SinkError(Where() + ": the connection was lost; unacknowledged: " + std::to_string(unacked_.size()),
                            Where() + ": the connection was lost");
        if (changed_.wait_until(lock, deadline) != std::cv_status::timeout) {
            TakeRefusals(shipment, lock);
            continue;
        }
        if (acks_ != acks) {
            acks = acks_;
            deadline = std::chrono::steady_clock::now() + stall_;
        } else if (unacked_.size() > left && drops_ == shipment.drops) {
            throw SinkError(Where() + ": no acknowledgement within " + std::to_string(stall_.count()) +
                                " ms; unacknowledged: " + std::to_string(unacked_.size()) +
                                (logError_.empty() ? "" : " (" + logError_ + ")"),
                            Where() + ": no acknowledgement");
        }
    }
    TakeRefusals(shipment, lock);
}

void MqttSink::Disconnect() { Drop(); }

void MqttSink::Drop() {
    if (!client_) return;
    // MQTT 5 lets a leaving client have its last will sent: "offline".
    if (homeAssistant_ && settings_.offlineOnStop && protocol_ == MQTT_PROTOCOL_V5)
        mosquitto_disconnect_v5(client_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    else mosquitto_disconnect(client_);
    if (looping_) mosquitto_loop_stop(client_, false);
    looping_ = false;
    mosquitto_destroy(client_);
    client_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    unacked_.clear();
    ackedEarly_.clear();
    refused_.clear();
}

}  // namespace q31::tool::forward
