#include "tools/q31/forward/Forwarder.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <set>
#include <stdexcept>

#include "tools/q31/forward/JournalReader.h"

namespace q31::tool::forward {

namespace {
// Reasons for setting messages aside that the log tells, at most: a sink that
// refuses everything must not fill the log with its reasons.
constexpr std::size_t kRejectionsTold = 100;
// How often a forwarder that waits to try again counts the backlog anew.
constexpr int kBacklogEveryMs = 1000;
}  // namespace

Forwarder::Forwarder(std::unique_ptr<Sink> sink, ForwarderOptions options)
    : sink_(std::move(sink)), options_(std::move(options)) {
    status_.sink = sink_->Name();
}

Forwarder::~Forwarder() { Stop(); }

void Forwarder::Start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

void Forwarder::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stop_) stopAsked_ = std::chrono::steady_clock::now();
        stop_ = true;
    }
    stopFlag_ = true;
    wake_.notify_all();
}

void Forwarder::Stop() {
    RequestStop();
    if (!thread_.joinable()) return;
    bool ended = false;
    {
        // A shipment under way may finish (and its position be kept); one
        // that waits for a server (a lock, a broker that does not answer)
        // is given up.
        std::unique_lock<std::mutex> lock(mutex_);
        ended = wake_.wait_until(lock, stopAsked_ + std::chrono::milliseconds(options_.stopGraceMs),
                                 [&] { return ended_; });
    }
    if (!ended) sink_->Abort();
    thread_.join();
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

bool Forwarder::Pause(int ms, bool wakeable) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_ || (wakeable && woken_); });
    const bool woken = wakeable && woken_;
    if (wakeable) woken_ = false;
    return woken;
}

bool Forwarder::Stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
}

void Forwarder::Note(const std::string& text, bool failure) {
    if (options_.log) options_.log(status_.sink + ": " + text, failure);
}

void Forwarder::CountBacklog(JournalReader& journal, std::int64_t position) {
    const std::int64_t newest = journal.NewestSeq();
    const std::int64_t oldest = journal.CommittedAfter(position);
    std::lock_guard<std::mutex> lock(mutex_);
    status_.position = position;
    status_.newest = newest;
    status_.backlogRows = std::max<std::int64_t>(0, newest - position);
    status_.backlogSeconds = oldest ? std::max<std::int64_t>(0, std::time(nullptr) - oldest) : 0;
}

// What the thread knows between its turns.
struct Forwarder::LoopState {
    std::unique_ptr<JournalReader> journal;
    bool connected = false;
    bool connecting = false;  // the failure, if one comes, is the connection's
    bool positionKnown = false;
    std::int64_t position = 0;
    int failures = 0;  // in a row, of connections and shipments alike
    // The kind of the failure told last; empty while all goes well.
    std::string lastFailure;
    bool failedToConnect = false;
    bool everConnected = false;
    std::set<std::string> rejectionsTold;
};

void Forwarder::Loop() {
    LoopState state;
    while (!Stopping()) {
        state.connecting = false;
        try {
            Turn(state);
        } catch (const std::exception& e) {
            if (!Recover(state, e)) break;
        }
    }
    if (state.connected) sink_->Disconnect();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        status_.connected = false;
    }
    wake_.notify_all();
}

void Forwarder::Turn(LoopState& state) {
    if (!state.journal) state.journal = std::make_unique<JournalReader>(options_.db, &stopFlag_);
    if (!state.positionKnown) {
        // Where it stands by the journal, before the sink says more:
        // the backlog counts from there while the sink is away.
        state.position = state.journal->Position(sink_->Name());
        state.positionKnown = true;
        CountBacklog(*state.journal, state.position);
    }
    if (!state.connected) Connect(state);
    std::vector<JournalBatch> group = state.journal->Read(state.position, options_.groupRows);
    CountBacklog(*state.journal, state.position);
    wake_.notify_all();
    if (group.empty()) {
        sink_->Idle();
        state.failures = 0;
        Pause(options_.idleMs, true);
        return;
    }
    Ship(state, group);
}

void Forwarder::Connect(LoopState& state) {
    JournalReader& journal = *state.journal;
    state.connecting = true;
    const JournalOrigin origin{journal.Generation(), journal.Position(sink_->Name()), journal.NewestSeq()};
    const SinkConnection c = sink_->Connect(origin);
    state.connecting = false;
    state.position = c.position;
    journal.SetPosition(sink_->Name(), state.position);
    state.connected = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.tried = status_.reached = true;
        status_.connected = true;
        status_.failing = false;
    }
    if (!c.earlierGeneration.empty())
        Note("this gateway's database is new: generation " + origin.generation + ", where the sink had generation " +
                 c.earlierGeneration +
                 (c.earlierPosition > 0 ? " (up to journal entry " + std::to_string(c.earlierPosition) + ")"
                                        : std::string()) +
                 "; the new journal is shipped from its first entry, the old rows stay",
             true);
    if (!c.note.empty()) Note(c.note, false);
    // Told when it is news: the first connection, or the first
    // after failures to connect (not after each shipment that
    // failed on a connection that was made well).
    if (!state.everConnected || state.failedToConnect) {
        Note(std::string(state.everConnected ? "connected again" : "connected") + "; shipping from journal entry " +
                 std::to_string(state.position + 1),
             false);
        if (state.failedToConnect) state.lastFailure.clear();
    }
    state.everConnected = true;
    state.failedToConnect = false;
}

void Forwarder::Ship(LoopState& state, const std::vector<JournalBatch>& group) {
    const std::vector<Rejection> rejected = sink_->Ship(group);
    state.position = group.back().seq;
    // Kept here too for a sink that keeps none of its own; one that
    // does says where it stands when it connects.
    state.journal->SetPosition(sink_->Name(), state.position);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.position = state.position;
        status_.shipped += static_cast<std::int64_t>(group.size());
        status_.rejected += static_cast<std::int64_t>(rejected.size());
        status_.backlogRows = std::max<std::int64_t>(0, status_.newest - state.position);
        status_.failing = false;
    }
    wake_.notify_all();
    for (const Rejection& r : rejected) {
        if (state.rejectionsTold.size() >= kRejectionsTold || !state.rejectionsTold.insert(r.why).second) continue;
        Note(r.why + ": set aside (journal entry " + std::to_string(r.seq) + "); the same reason is not told again",
             true);
    }
    if (!state.lastFailure.empty())
        Note("shipping again after " + std::to_string(state.failures) + " failed tr" +
                 (state.failures == 1 ? "y" : "ies"),
             false);
    state.lastFailure.clear();
    state.failures = 0;
}

bool Forwarder::Recover(LoopState& state, const std::exception& e) {
    sink_->Disconnect();
    state.connected = false;
    ++state.failures;
    const auto* sinkError = dynamic_cast<const SinkError*>(&e);
    const std::string kind = sinkError ? sinkError->Kind() : std::string(e.what());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.tried = true;
        status_.connected = false;
        status_.failing = true;
        ++status_.failures;
        status_.lastError = e.what();
    }
    wake_.notify_all();
    if (Stopping()) return false;
    long long ms = options_.retryBaseMs;
    for (int i = 1; i < state.failures && ms < options_.retryMaxMs; ++i) ms *= 2;
    ms = std::min<long long>(ms, options_.retryMaxMs);
    // Once per change, not once per try: a shipment the server keeps
    // refusing on a connection made well is told once, as is a
    // server that stays away.
    if (kind != state.lastFailure)
        Note(std::string(e.what()) + "; trying again with back-off (up to " +
                 (options_.retryMaxMs >= 1000 ? std::to_string(options_.retryMaxMs / 1000) + " s)"
                                              : std::to_string(options_.retryMaxMs) + " ms)"),
             true);
    state.lastFailure = kind;
    state.failedToConnect = state.connecting || !state.journal;
    BackOff(state, ms);
    return true;
}

void Forwarder::BackOff(LoopState& state, long long ms) {
    // New entries do not cut the pause short (the sink is what is
    // awaited), but the backlog they make is counted meanwhile.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < until && !Stopping();
         now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        Pause(static_cast<int>(std::min<long long>(left, kBacklogEveryMs)), true);
        if (!state.journal || !state.positionKnown) continue;
        try {
            CountBacklog(*state.journal, state.position);
        } catch (const std::exception&) {
            // The journal cannot be read either: the next try says why.
        }
    }
}

}  // namespace q31::tool::forward
