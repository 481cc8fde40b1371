#include "tools/q31/forward/Forwarder.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>

#include "tools/q31/forward/JournalReader.h"

namespace q31::tool::forward {

Forwarder::Forwarder(std::unique_ptr<Sink> sink, ForwarderOptions options)
    : sink_(std::move(sink)), options_(std::move(options)) {
    status_.sink = sink_->Name();
}

Forwarder::~Forwarder() { Stop(); }

void Forwarder::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void Forwarder::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Forwarder::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

ForwardStatus Forwarder::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool Forwarder::WaitFor(std::int64_t seq, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return status_.position >= seq; });
}

void Forwarder::Pause(int ms, bool wakeable) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_ || (wakeable && woken_); });
    if (wakeable) woken_ = false;
}

void Forwarder::Note(const std::string& text, bool failure) {
    if (options_.log) options_.log(status_.sink + ": " + text, failure);
}

void Forwarder::Loop() {
    std::unique_ptr<JournalReader> journal;
    bool connected = false;
    std::int64_t position = 0;
    int failures = 0;
    std::string lastError;
    const auto stopping = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        return stop_;
    };
    while (!stopping()) {
        try {
            if (!journal) journal = std::make_unique<JournalReader>(options_.db);
            if (!connected) {
                position = sink_->Connect(journal->Position(sink_->Name()));
                journal->SetPosition(sink_->Name(), position);
                connected = true;
                failures = 0;
                Note("connected; shipping from journal entry " + std::to_string(position + 1), false);
                lastError.clear();
            }
            std::vector<JournalBatch> group = journal->Read(position, options_.groupRows);
            const std::int64_t newest = journal->NewestSeq();
            const std::int64_t oldest = journal->CommittedAfter(position);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                status_.connected = true;
                status_.position = position;
                status_.newest = newest;
                status_.backlogRows = newest - position;
                status_.backlogSeconds = oldest ? std::max<std::int64_t>(0, std::time(nullptr) - oldest) : 0;
            }
            wake_.notify_all();
            if (group.empty()) {
                Pause(options_.idleMs, true);
                continue;
            }
            sink_->Ship(group);
            position = group.back().seq;
            // Kept here too for a sink that keeps none of its own; one that
            // does says where it stands when it connects.
            journal->SetPosition(sink_->Name(), position);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                status_.position = position;
                status_.shipped += static_cast<std::int64_t>(group.size());
                status_.backlogRows = std::max<std::int64_t>(0, status_.newest - position);
            }
            wake_.notify_all();
        } catch (const std::exception& e) {
            sink_->Disconnect();
            connected = false;
            ++failures;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                status_.connected = false;
                ++status_.failures;
                status_.lastError = e.what();
            }
            // Once per change, not once per try.
            if (e.what() != lastError) Note(std::string(e.what()) + "; trying again with back-off", true);
            lastError = e.what();
            long long ms = options_.retryBaseMs;
            for (int i = 1; i < failures && ms < options_.retryMaxMs; ++i) ms *= 2;
            // New entries do not cut the pause short: the sink is what is awaited.
            Pause(static_cast<int>(std::min<long long>(ms, options_.retryMaxMs)), false);
        }
    }
    if (connected) sink_->Disconnect();
}

}  // namespace q31::tool::forward
