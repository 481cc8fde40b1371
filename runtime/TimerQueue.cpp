#include "runtime/TimerQueue.h"

#include "runtime/TTimer.h"

namespace q31 {

namespace {
// A timer with a zero interval never fires, as with window-message timers.
bool Armed(const TTimer& t) { return t.Enabled() && t.Interval() > 0; }
}  // namespace

void TimerQueue::Add(TTimer& timer) {
    timer.prev_ = nullptr;
    timer.next_ = head_;
    if (head_) head_->prev_ = &timer;
    head_ = &timer;
}

void TimerQueue::Remove(TTimer& timer) {
    if (timer.prev_) timer.prev_->next_ = timer.next_;
    else if (head_ == &timer) head_ = timer.next_;
    if (timer.next_) timer.next_->prev_ = timer.prev_;
    timer.prev_ = timer.next_ = nullptr;
}

TTimer* TimerQueue::EarliestDue(Micros now) const {
    TTimer* best = nullptr;
    for (TTimer* t = head_; t; t = t->next_) {
        if (!Armed(*t) || t->due_ > now || t->firedInPass_ == pass_) continue;
        if (!best || t->due_ < best->due_) best = t;
    }
    return best;
}

int TimerQueue::RunDue(Micros now) {
    ++pass_;
    int ran = 0;
    // Handlers may enable, disable, create or destroy timers, so the list is
    // searched afresh after every call.
    while (TTimer* t = EarliestDue(now)) {
        t->firedInPass_ = pass_;
        t->due_ = now + Micros{t->intervalMs_} * 1000;
        if (t->OnTimer) {
            t->OnTimer();
            ++ran;
        }
    }
    return ran;
}

std::optional<Micros> TimerQueue::NextDue() const {
    std::optional<Micros> next;
    for (TTimer* t = head_; t; t = t->next_)
        if (Armed(*t) && (!next || t->due_ < *next)) next = t->due_;
    return next;
}

}  // namespace q31
