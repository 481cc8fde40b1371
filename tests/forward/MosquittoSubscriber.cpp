#include "tests/forward/MosquittoSubscriber.h"

#include <chrono>

#include <mosquitto.h>

namespace q31::test {

namespace {
constexpr auto kPatience = std::chrono::seconds(10);
}  // namespace

MosquittoSubscriber::MosquittoSubscriber(int port, const std::string& filter, const MosquittoAccess& access,
                                         const std::string& clientId)
    : filter_(filter) {
    mosquitto_lib_init();
    client_ = clientId.empty() ? mosquitto_new(nullptr, true, this) : mosquitto_new(clientId.c_str(), false, this);
    mosquitto_connect_callback_set(client_, &MosquittoSubscriber::OnConnect);
    mosquitto_subscribe_callback_set(client_, &MosquittoSubscriber::OnSubscribe);
    mosquitto_message_callback_set(client_, &MosquittoSubscriber::OnMessage);
    if (!access.user.empty()) mosquitto_username_pw_set(client_, access.user.c_str(), access.password.c_str());
    if (!access.caFile.empty()) mosquitto_tls_set(client_, access.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) mosquitto_loop_start(client_);
}

MosquittoSubscriber::~MosquittoSubscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

bool MosquittoSubscriber::Subscribed() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [this] { return subscribed_; });
}

std::vector<ReceivedMessage> MosquittoSubscriber::WaitFor(std::size_t count) { return WaitFor(count, kPatience); }

std::vector<ReceivedMessage> MosquittoSubscriber::WaitFor(std::size_t count, std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, patience, [&] { return messages_.size() >= count; });
    return messages_;
}

void MosquittoSubscriber::OnConnect(mosquitto* client, void* self, int rc) {
    auto* s = static_cast<MosquittoSubscriber*>(self);
    if (rc == 0) mosquitto_subscribe(client, nullptr, s->filter_.c_str(), 1);
}

void MosquittoSubscriber::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
    auto* s = static_cast<MosquittoSubscriber*>(self);
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->subscribed_ = true;
    s->changed_.notify_all();
}

void MosquittoSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* s = static_cast<MosquittoSubscriber*>(self);
    std::lock_guard<std::mutex> lock(s->mutex_);
    std::string payload;
    if (m->payloadlen > 0)
        payload.assign(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
    s->messages_.push_back({m->topic, payload, m->retain});
    s->changed_.notify_all();
}

}  // namespace q31::test
