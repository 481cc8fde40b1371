#include "tools/q31/status/BoundedPool.h"

namespace q31::tool::forward {

namespace {
constexpr int kThreads = 16;
constexpr std::size_t kQueued = 32;
}  // namespace

BoundedPool::BoundedPool() {
    for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { Work(); });
}

void BoundedPool::enqueue(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return queue_.size() < kQueued || shutdown_; });
    queue_.push_back(std::move(task));
    work_.notify_one();
}

void BoundedPool::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
    }
    work_.notify_all();
    space_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void BoundedPool::Work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [this] { return !queue_.empty() || shutdown_; });
            if (queue_.empty()) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        space_.notify_one();
        task();
    }
}

}  // namespace q31::tool::forward
