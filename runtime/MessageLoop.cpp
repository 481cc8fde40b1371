#include "runtime/MessageLoop.h"

#include <algorithm>
#include <chrono>

#include "runtime/TTimer.h"

namespace q31 {

MessageLoop::MessageLoop() : clock_(&SteadyClock::Instance()) {}

MessageLoop::MessageLoop(IClock* clock) : clock_(clock ? clock : &SteadyClock::Instance()) {}

MessageLoop::~MessageLoop() { LoopBackendDestroy(*this); }

MessageLoop& MessageLoop::Main() {
    // Never destroyed: components of the plug-in live until the process ends
    // and may still stop their timers from static destructors.
    static MessageLoop* loop = new MessageLoop;
    return *loop;
}

void MessageLoop::AddTimer(TTimer& timer) { timers_.Add(timer); }

void MessageLoop::RemoveTimer(TTimer& timer) {
    timers_.Remove(timer);
    TimersChanged();
}

void MessageLoop::TimersChanged() { LoopBackendTimersChanged(*this); }

void MessageLoop::Post(Handover& handover) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handover.queued_) return;
        handover.queued_ = true;
        handover.next_ = nullptr;
        if (last_) last_->next_ = &handover;
        else first_ = &handover;
        last_ = &handover;
    }
    wake_.notify_all();
    LoopBackendPosted(*this);
}

void MessageLoop::Withdraw(Handover& handover) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handover.queued_) return;
    Handover* prev = nullptr;
    for (Handover* h = first_; h; prev = h, h = h->next_) {
        if (h != &handover) continue;
        if (prev) prev->next_ = h->next_;
        else first_ = h->next_;
        if (last_ == h) last_ = prev;
        break;
    }
    handover.queued_ = false;
    handover.next_ = nullptr;
}

int MessageLoop::RunHandovers() {
    int ran = 0;
    for (;;) {
        Handover* h;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            h = first_;
            if (!h) break;
            first_ = h->next_;
            if (!first_) last_ = nullptr;
            h->queued_ = false;
            h->next_ = nullptr;
        }
        if (h->OnHandover) {
            h->OnHandover();
            ++ran;
        }
    }
    return ran;
}

int MessageLoop::RunPending() {
    int ran = RunHandovers();
    ran += timers_.RunDue(Now());
    TimersChanged();
    return ran;
}

int MessageLoop::Pump(int timeoutMs) {
    int ran = RunPending();
    if (ran > 0 || timeoutMs <= 0) return ran;

    const Micros deadline = Now() + Micros{timeoutMs} * 1000;
    for (;;) {
        Micros now = Now();
        if (now >= deadline) break;
        Micros wakeAt = deadline;
        if (auto due = timers_.NextDue()) wakeAt = std::min(wakeAt, *due);
        int dispatched = 0;
        if (wakeAt > now && !LoopBackendWait(*this, wakeAt - now, dispatched)) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!first_) wake_.wait_for(lock, std::chrono::microseconds(wakeAt - now));
        }
        ran = dispatched + RunPending();
        if (ran > 0) break;
    }
    return ran;
}

int MessageLoop::Tick(Micros elapsed) {
    // Only a manual clock can be moved; on the real clock this just runs what is due.
    auto* manual = dynamic_cast<ManualClock*>(clock_);
    const Micros target = Now() + elapsed;
    int ran = RunHandovers() + timers_.RunDue(Now());
    while (manual) {
        ran += RunHandovers();
        auto due = timers_.NextDue();
        if (!due || *due > target) break;
        if (*due > Now()) manual->Set(*due);
        ran += timers_.RunDue(Now());
    }
    if (manual && Now() < target) manual->Set(target);
    ran += RunHandovers() + timers_.RunDue(Now());
    return ran;
}

bool MessageLoop::WaitForHandover(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return first_ != nullptr; });
}

}  // namespace q31
