// The status server's threads for its connections, and a bounded wait for
// one: a connection that idles holds a thread until its time-out, so there
// are more threads than a handful of idle clients, and beyond the queue's
// bound the server accepts nothing more until a thread is free (the clients
// wait in the kernel's backlog, holding no descriptor of the collector's).
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace q31::tool::forward {

class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool();

    // On the accepting thread: waits while the queue is full.
    void enqueue(std::function<void()> task) override;
    // Every task queued still runs: each owns a socket it closes.
    void shutdown() override;

private:
    void Work();

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable space_;
    std::deque<std::function<void()>> queue_;
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace q31::tool::forward
