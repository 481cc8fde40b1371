#include "tools/q31/forward/MqttSink.h"

#include "tools/q31/HexText.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

namespace q31::tool::forward {

namespace {

using Json = nlohmann::ordered_json;

// Messages sent and not yet acknowledged, at most: the client numbers its
// messages with 16 bits, so far fewer than 65535 may wait at a time, and the
// queue in memory stays bounded however large the batches.
constexpr std::size_t kWindow = 1000;

std::once_flag gLibraryReady;

// A topic level holds the name as far as MQTT allows it: "/" would add a
// level and "+" or "#" make the topic a filter, which the broker refuses.
std::string Level(const std::string& name) {
    std::string s = name;
    for (char& c : s)
        if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
    return s;
}

// Text from a meter or the operator that is not UTF-8 must not stop the
// shipment: such bytes go out as U+FFFD.
std::string Text(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string ReadPassword(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string password;
    if (!in) throw std::runtime_error("MQTT: cannot read the password file " + path + ": " + std::strerror(errno));
    if (!std::getline(in, password)) throw std::runtime_error("MQTT: the password file " + path + " is empty");
    while (!password.empty() && (password.back() == '\r' || password.back() == '\n')) password.pop_back();
    return password;
}

std::string ErrorText(int rc, int err) { return rc == MOSQ_ERR_ERRNO ? std::strerror(err) : mosquitto_strerror(rc); }

// The part of an id after gateway/meter/serial/epoch that tells one batch of
// a series or log from another of the same.
std::string ArchiveRange(const ArchiveRows& a) {
    if (!a.values.empty()) return std::to_string(a.first) + "-" + std::to_string(a.first + a.values.size() - 1);
    if (a.gap) return "gap-" + std::to_string(a.gap->first) + "-" + std::to_string(a.gap->second);
    return "none-" + std::to_string(a.first);
}

std::string LogRange(const LogRows& l) {
    if (l.block == 0) {
        std::string s = "head";
        for (std::uint16_t w : l.head) {
            s += '-';
            s += std::to_string(w);
        }
        return s;
    }
    std::string s = std::to_string(l.block) + "/";
    if (l.records.empty()) return s + "none";
    return s + std::to_string(l.records.front().position) + "-" + std::to_string(l.records.back().position);
}

}  // namespace

MqttSink::MqttSink(collect::MqttSinkSpec spec, std::string gateway, std::chrono::milliseconds stall)
    : spec_(std::move(spec)), gateway_(std::move(gateway)), stall_(stall) {
    std::call_once(gLibraryReady, [] { mosquitto_lib_init(); });
    if (spec_.clientId.empty()) spec_.clientId = "q31-" + gateway_;
}

MqttSink::~MqttSink() { Drop(); }

std::vector<MqttMessage> MqttSink::Messages(const JournalBatch& b) {
    const std::string topic = spec_.prefix + "/" + Level(gateway_) + "/" + Level(b.meter) + "/";
    const std::string key = gateway_ + "/" + b.meter + "/";
    const std::string unit = key + std::to_string(b.serial) + "/" + std::to_string(b.epoch) + "/";
    Json m{{"id", nullptr}, {"gateway", gateway_}, {"meter", b.meter}, {"serial", b.serial}};
    std::vector<MqttMessage> out;
    switch (b.kind) {
        case JournalBatch::Kind::Archive: {
            const ArchiveRows& a = b.archive;
            m["id"] = unit + a.series + "/" + std::to_string(a.module) + "/" + ArchiveRange(a);
            m["epoch"] = b.epoch;
            m["module"] = a.module;
            m["series"] = a.series;
            if (a.values.empty()) m["records"] = nullptr;
            else m["records"] = {{"first", a.first}, {"last", a.first + a.values.size() - 1}};
            m["values"] = a.values;
            if (a.gap) m["gap"] = {{"first", a.gap->first}, {"last", a.gap->second}};
            else m["gap"] = nullptr;
            break;
        }
        case JournalBatch::Kind::Snapshot: {
            const SnapshotRow& s = b.snapshot;
            m["id"] = key + "snapshot/" + s.kind + "/" + std::to_string(s.takenAt);
            m["kind"] = s.kind;
            m["taken_at"] = s.takenAt;
            // The stored JSON goes in as it is; text that is not JSON goes as a string.
            Json data = Json::parse(s.json, nullptr, false);
            m["data"] = data.is_discarded() ? Json(s.json) : std::move(data);
            break;
        }
        case JournalBatch::Kind::Log: {
            const LogRows& l = b.log;
            m["id"] = unit + l.log + "/" + std::to_string(l.module) + "/" + LogRange(l);
            m["epoch"] = b.epoch;
            m["log"] = l.log;
            m["module"] = l.module;
            m["block"] = l.block;
            Json records = Json::array();
            for (const LogRow& r : l.records)
                records.push_back({{"block", r.block}, {"position", r.position}, {"data", HexText(r.data)}});
            m["records"] = std::move(records);
            m["head"] = l.head;
            break;
        }
        case JournalBatch::Kind::Attempt: {
            const AttemptRow& a = b.attempt;
            m["id"] = key + "attempt/" + std::to_string(a.id);
            m["serial"] = a.serialExpected;
            m["serial_found"] = a.serialFound ? Json(*a.serialFound) : Json(nullptr);
            m["started_at"] = a.startedAt;
            m["ended_at"] = a.endedAt;
            m["outcome"] = a.outcome;
            m["message"] = a.message;
            m["packets"] = a.packets;
            m["resends"] = a.resends;
            m["failures"] = a.failuresInRow;
            out.push_back({topic + "attempt", Text(m), false});

            std::optional<std::int64_t> lastOk = a.lastOk;
            if (!lastOk && a.outcome == "ok") lastOk = a.endedAt;
            if (!lastOk) {
                const auto known = lastOk_.find(b.meter);
                if (known != lastOk_.end()) lastOk = known->second;
            }
            if (lastOk) lastOk_[b.meter] = *lastOk;
            const Json state{{"last_read", lastOk ? Json(*lastOk) : Json(nullptr)},
                             {"outcome", a.outcome},
                             {"failures", a.failuresInRow},
                             {"at", a.endedAt}};
            // Retained: a dashboard that subscribes later learns at once how the meter stands.
            out.push_back({topic + "state", Text(state), true});
            return out;
        }
        case JournalBatch::Kind::Event: {
            const EventRow& e = b.event;
            m["id"] = key + "event/" + std::to_string(e.id);
            m["epoch"] = b.epoch;
            m["event"] = e.kind;
            m["detail"] = e.detail;
            m["at"] = e.at;
            break;
        }
    }
    out.push_back({topic + KindName(b.kind), Text(m), false});
    return out;
}

std::string MqttSink::Where() const { return "MQTT broker " + spec_.host + ":" + std::to_string(spec_.port); }

std::string MqttSink::LastLogError() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logError_.empty() ? std::string() : " (" + logError_ + ")";
}

void MqttSink::Fail(const std::string& what, int rc) {
    const std::string text = ErrorText(rc, errno);
    const std::string message = Where() + ": " + what + ": " + text + LastLogError();
    Drop();
    throw std::runtime_error(message);
}

std::int64_t MqttSink::Connect(std::int64_t localPosition) {
    if (client_) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_) return localPosition;
    }
    Drop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        connackRc_ = -1;
        drops_ = 0;
        unacked_.clear();
        ackedEarly_.clear();
        logError_.clear();
    }
    // No clean session: the broker keeps the session under the client id, so
    // messages in flight when a connection drops are finished on the next.
    client_ = mosquitto_new(spec_.clientId.c_str(), false, this);
    if (!client_) throw std::runtime_error(Where() + ": cannot make a client: " + std::strerror(errno));
    mosquitto_connect_callback_set(client_, &MqttSink::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttSink::OnDisconnect);
    mosquitto_publish_callback_set(client_, &MqttSink::OnPublish);
    mosquitto_log_callback_set(client_, &MqttSink::OnLog);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    // The forwarder reconnects after its own back-off; the client's network
    // thread must not do it behind its back (a lost connection fails Ship).
    mosquitto_reconnect_delay_set(client_, 3600, 3600, false);

    if (!spec_.username.empty() || !spec_.passwordFile.empty()) {
        if (spec_.username.empty()) {
            Drop();
            throw std::runtime_error(Where() + ": a password file needs a username");
        }
        std::string password;
        if (!spec_.passwordFile.empty()) {
            try {
                password = ReadPassword(spec_.passwordFile);
            } catch (...) {
                Drop();
                throw;
            }
        }
        const int rc = mosquitto_username_pw_set(client_, spec_.username.c_str(),
                                                 spec_.passwordFile.empty() ? nullptr : password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) Fail("cannot set the username", rc);
    }
    if (!spec_.caFile.empty()) {
        const int rc = mosquitto_tls_set(client_, spec_.caFile.c_str(), nullptr,
                                         spec_.certFile.empty() ? nullptr : spec_.certFile.c_str(),
                                         spec_.keyFile.empty() ? nullptr : spec_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) Fail("cannot use the TLS files " + spec_.caFile, rc);
    }

    int rc = mosquitto_connect(client_, spec_.host.c_str(), spec_.port, spec_.keepaliveS);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot connect", rc);
    rc = mosquitto_loop_start(client_);
    if (rc != MOSQ_ERR_SUCCESS) Fail("cannot start the client's thread", rc);
    looping_ = true;

    std::unique_lock<std::mutex> lock(mutex_);
    // The TLS handshake may end in the client's thread, which then gives up
    // with no more than an error in its log.
    changed_.wait_for(lock, stall_, [this] { return connackRc_ >= 0 || drops_ > 0 || !logError_.empty(); });
    if (connected_) return localPosition;
    std::string message = Where();
    if (connackRc_ > 0) message += ": refused the connection: " + std::string(mosquitto_connack_string(connackRc_));
    else if (drops_ > 0) message += ": closed the connection before accepting it";
    else if (!logError_.empty()) message += ": cannot connect";
    else message += ": no answer within " + std::to_string(stall_.count()) + " ms";
    if (!logError_.empty()) message += " (" + logError_ + ")";
    lock.unlock();
    Drop();
    throw std::runtime_error(message);
}

void MqttSink::Ship(const std::vector<JournalBatch>& batches) {
    if (!client_) throw std::runtime_error(Where() + ": not connected");
    std::int64_t drops;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) throw std::runtime_error(Where() + ": the connection was lost");
        drops = drops_;
        ackedEarly_.clear();
    }

    // Waits until at most `left` messages await their acknowledgement; gives
    // up when the connection drops or the broker makes no progress.
    // The network thread wakes this one only when enough have come, so a
    // long wait costs no switch per acknowledgement; progress in between is
    // seen by the count when the deadline passes.
    auto waitFor = [&](std::size_t left) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::int64_t acks = acks_;
        auto deadline = std::chrono::steady_clock::now() + stall_;
        wakeAt_ = left;
        while (unacked_.size() > left) {
            if (drops_ != drops)
                throw std::runtime_error(
                    Where() + ": the connection was lost; unacknowledged: " + std::to_string(unacked_.size()));
            if (changed_.wait_until(lock, deadline) != std::cv_status::timeout) continue;
            if (acks_ != acks) {
                acks = acks_;
                deadline = std::chrono::steady_clock::now() + stall_;
            } else if (unacked_.size() > left && drops_ == drops) {
                throw std::runtime_error(Where() + ": no acknowledgement within " + std::to_string(stall_.count()) +
                                         " ms; unacknowledged: " + std::to_string(unacked_.size()) +
                                         (logError_.empty() ? "" : " (" + logError_ + ")"));
            }
        }
    };

    for (const JournalBatch& batch : batches) {
        for (const MqttMessage& m : Messages(batch)) {
            waitFor(kWindow - 1);
            int mid = 0;
            const int rc = mosquitto_publish(client_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                             m.payload.data(), 1, m.retain);
            // The client may see the connection gone before its thread has told us.
            if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST)
                throw std::runtime_error(Where() + ": the connection was lost");
            if (rc != MOSQ_ERR_SUCCESS)
                throw std::runtime_error(Where() + ": cannot publish on " + m.topic + ": " + ErrorText(rc, errno));
            std::lock_guard<std::mutex> lock(mutex_);
            // The network thread may have had the acknowledgement before publish returned the id.
            if (ackedEarly_.erase(mid) == 0) unacked_.insert(mid);
        }
    }
    waitFor(0);
}

void MqttSink::Disconnect() { Drop(); }

void MqttSink::Drop() {
    if (!client_) return;
    mosquitto_disconnect(client_);
    if (looping_) mosquitto_loop_stop(client_, false);
    looping_ = false;
    mosquitto_destroy(client_);
    client_ = nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    unacked_.clear();
    ackedEarly_.clear();
}

void MqttSink::OnConnect(mosquitto*, void* self, int rc) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->connackRc_ = rc;
    sink->connected_ = rc == 0;
    sink->changed_.notify_all();
}

void MqttSink::OnDisconnect(mosquitto*, void* self, int) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->connected_ = false;
    ++sink->drops_;
    sink->changed_.notify_all();
}

void MqttSink::OnPublish(mosquitto*, void* self, int mid) {
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    if (sink->unacked_.erase(mid) == 0) sink->ackedEarly_.insert(mid);
    ++sink->acks_;
    if (sink->unacked_.size() <= sink->wakeAt_) sink->changed_.notify_all();
}

void MqttSink::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || !text) return;
    auto* sink = static_cast<MqttSink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex_);
    sink->logError_ = text;
    sink->changed_.notify_all();
}

}  // namespace q31::tool::forward
