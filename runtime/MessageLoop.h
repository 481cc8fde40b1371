// The main-thread message loop: timers fire and worker hand-overs run on the
// thread that pumps it, one handler at a time, never concurrently.
//
// Worker threads may only call Post. Everything else belongs to the pumping
// thread. On Windows the host's own window-message loop drives it; a POSIX
// host calls Pump (exported as PumpMessages).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "runtime/Clock.h"
#include "runtime/Delegate.h"
#include "runtime/TimerQueue.h"

namespace q31 {

class TTimer;

// A notification a worker thread hands to the main thread. It is owned by
// whoever posts it (no allocation) and queued at most once at a time.
class Handover {
public:
    Delegate<void()> OnHandover;

private:
    friend class MessageLoop;
    Handover* next_ = nullptr;
    bool queued_ = false;
};

class MessageLoop {
public:
    MessageLoop();
    explicit MessageLoop(IClock* clock);
    ~MessageLoop();
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // The loop every component uses unless it is given another.
    static MessageLoop& Main();

    IClock& Clock() const { return *clock_; }
    Micros Now() const { return clock_->Now(); }

    // Timer registration; called by TTimer.
    void AddTimer(TTimer& timer);
    void RemoveTimer(TTimer& timer);
    void TimersChanged();

    // Any thread: queue a hand-over to run on the main thread.
    void Post(Handover& handover);
    // Main thread: take a hand-over back out of the queue if it has not run.
    void Withdraw(Handover& handover);

    // Runs what is due now; if nothing was, waits up to timeoutMs (real time)
    // for a timer to fall due or a hand-over to arrive, and runs that.
    // Returns how many handlers ran.
    int Pump(int timeoutMs);

    // Runs the timers due now and the queued hand-overs, without waiting.
    int RunPending();

    // For tests on a ManualClock: moves the clock on by `elapsed`, stopping at
    // every due time on the way so timers fire in order and at their instant.
    int Tick(Micros elapsed);

    // Waits (real time) until a hand-over is queued; false on time-out.
    bool WaitForHandover(int timeoutMs);

    // Earliest due time of an enabled timer, if any (for the platform side).
    std::optional<Micros> NextDue() const { return timers_.NextDue(); }

    // Platform hook state (the Windows backend keeps its window here). Set on
    // the main thread, read by worker threads when they post.
    std::atomic<void*> backend{nullptr};

private:
    int RunHandovers();

    IClock* clock_;
    TimerQueue timers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    Handover* first_ = nullptr;
    Handover* last_ = nullptr;
};

// Implemented once per platform: tell the OS side that a hand-over was queued
// (called with no lock held), or that the earliest timer changed.
void LoopBackendPosted(MessageLoop& loop);
void LoopBackendTimersChanged(MessageLoop& loop);
void LoopBackendDestroy(MessageLoop& loop);

// Pump's wait, for a platform whose own message queue must keep moving while
// the loop waits (Windows: the thread's window messages). Waits up to
// `micros`, dispatching what arrives, and adds the loop handlers that ran
// meanwhile to `ran`. Returns false when the platform has nothing to wait on;
// Pump then waits on its own condition variable.
bool LoopBackendWait(MessageLoop& loop, Micros micros, int& ran);

}  // namespace q31
