#include "tools/q31/collect/LineOpener.h"

namespace q31::tool::collect {

LineOpener::~LineOpener() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void LineOpener::Request(const std::string& key, const LinePlan& plan) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (underWay_.count(key) || done_.count(key)) return;
        underWay_[key] = generation_;
        queue_.push_back({key, plan, generation_});
        while (static_cast<int>(threads_.size()) < threadCount_) threads_.emplace_back([this] { Run(); });
    }
    wake_.notify_one();
}

std::unique_ptr<MeterLine> LineOpener::Take(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = done_.find(key);
    if (it == done_.end()) return nullptr;
    std::unique_ptr<MeterLine> line = std::move(it->second);
    done_.erase(it);
    return line;
}

void LineOpener::Clear() {
    std::map<std::string, std::unique_ptr<MeterLine>> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
        queue_.clear();
        underWay_.clear();
        old.swap(done_);
    }
}

void LineOpener::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        auto line = std::make_unique<MeterLine>(job.plan, &api_);
        lock.lock();
        // Asked for before a Clear: nobody waits for it any more.
        const auto it = underWay_.find(job.key);
        if (job.generation != generation_ || it == underWay_.end() || it->second != job.generation) {
            lock.unlock();
            line.reset();
            lock.lock();
            continue;
        }
        underWay_.erase(it);
        done_[job.key] = std::move(line);
    }
}

}  // namespace q31::tool::collect
