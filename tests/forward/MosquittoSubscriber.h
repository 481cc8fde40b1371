// A client of the test's own that subscribes to a topic filter and keeps
// every message it receives, for the test to compare.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "tests/forward/MosquittoServer.h"

struct mosquitto;
struct mosquitto_message;

namespace q31::test {

struct ReceivedMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
};

class MosquittoSubscriber {
public:
    // Connects to the broker on loopback `port` (logging in and using TLS as
    // `access` says) and subscribes to `filter` with QoS 1.
    // With `clientId`, the broker keeps the session while the subscriber is
    // away (a broker restarted) and hands it what came meanwhile.
    MosquittoSubscriber(int port, const std::string& filter, const MosquittoAccess& access = {},
                        const std::string& clientId = {});
    ~MosquittoSubscriber();
    MosquittoSubscriber(const MosquittoSubscriber&) = delete;
    MosquittoSubscriber& operator=(const MosquittoSubscriber&) = delete;

    // The broker has granted the subscription (waits 10 s at most).
    bool Subscribed();
    // The messages received once there are `count` of them, or after
    // `patience` (10 s unless given).
    std::vector<ReceivedMessage> WaitFor(std::size_t count);
    std::vector<ReceivedMessage> WaitFor(std::size_t count, std::chrono::milliseconds patience);

private:
    static void OnConnect(mosquitto* client, void* self, int rc);
    static void OnSubscribe(mosquitto* client, void* self, int mid, int count, const int* granted);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);

    std::string filter_;
    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<ReceivedMessage> messages_;
};

}  // namespace q31::test
