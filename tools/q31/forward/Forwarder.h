// Ships the journal to one sink on a thread of its own: reads the entries
// after the sink's position, hands them over in groups, and moves the
// position on once the sink has them safe. A sink that cannot be reached is
// tried again after a growing pause; meanwhile the collector goes on and the
// backlog waits in the journal, to be shipped in order when the sink returns.
//
// Nothing is lost or kept twice: the position moves only after a group is
// safe, so a crash at any moment ships the group again, and a sink keeps a
// group it is sent twice once (its keys are the gateway's). What a sink
// refuses for a reason of the message itself is set aside and counted; the
// rest goes on.
//
// Nothing a sink does holds up whoever stops the forwarder: Stop ends the
// thread within a few seconds, aborting a connection or shipment that is
// still under way.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/q31/forward/ForwardStatus.h"
#include "tools/q31/forward/Sink.h"

namespace q31::tool::forward {

class JournalReader;

struct ForwarderOptions {
    std::string db;                // the collector's SQLite database
    std::size_t groupRows = 5000;  // rows per shipment, about
    int retryBaseMs = 1000;        // first pause after a failure, doubled up to retryMaxMs
    int retryMaxMs = 60000;
    int idleMs = 250;  // how often an idle forwarder looks at the journal
    // Stop waits this long for a shipment under way to end by itself, then aborts it.
    int stopGraceMs = 1000;
    // Told of every change of state (connected, failed with a new reason).
    std::function<void(const std::string& text, bool failure)> log;
};

class Forwarder {
public:
    Forwarder(std::unique_ptr<Sink> sink, ForwarderOptions options);
    ~Forwarder();  // stops the thread
    Forwarder(const Forwarder&) = delete;
    Forwarder& operator=(const Forwarder&) = delete;

    void Start();
    // Ends the thread: at once when it is idle or waiting to try again,
    // after the shipment under way (at most `stopGraceMs`), else by aborting
    // the sink's connection.
    void Stop();
    // Asks the thread to end without waiting for it: forwarders stopped
    // together are given their grace together. Stop then waits.
    void RequestStop();
    // New entries are in the journal: look now rather than at the next idle turn.
    void Wake();
    ForwardStatus Status() const;
    // Waits until the position has reached `seq` or `timeoutMs` passed (tests, shutdown).
    bool WaitFor(std::int64_t seq, int timeoutMs);

private:
    struct LoopState;

    void Loop();
    // One turn of the loop: connects when not connected, then ships a group
    // or waits for more. Throws what failed.
    void Turn(LoopState& state);
    void Connect(LoopState& state);
    void Ship(LoopState& state, const std::vector<JournalBatch>& group);
    // After a failure: tells it (once per kind) and waits with back-off;
    // false when stopping.
    bool Recover(LoopState& state, const std::exception& e);
    void BackOff(LoopState& state, long long ms);
    // Sleeps up to `ms`, or until stopped, or (when `wakeable`) woken.
    // Returns whether it was woken.
    bool Pause(int ms, bool wakeable);
    void Note(const std::string& text, bool failure);
    bool Stopping() const;
    // The backlog after `position`, as the journal has it now.
    void CountBacklog(JournalReader& journal, std::int64_t position);

    std::unique_ptr<Sink> sink_;
    ForwarderOptions options_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    bool stop_ = false;
    bool ended_ = false;                 // the thread's loop is over
    std::atomic<bool> stopFlag_{false};  // for waits outside the mutex (the journal's lock)
    std::chrono::steady_clock::time_point stopAsked_{};
    ForwardStatus status_;
};

}  // namespace q31::tool::forward
