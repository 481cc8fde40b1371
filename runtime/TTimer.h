// A message-based timer: while Enabled it calls OnTimer every Interval
// milliseconds, always on the thread that pumps its message loop.
//
// Enabling a disabled timer starts a full interval; enabling an enabled timer
// changes nothing; changing the interval of a running timer restarts it.
#pragma once

#include <cstdint>

#include "runtime/Clock.h"
#include "runtime/Delegate.h"

namespace q31 {

class MessageLoop;
class TimerQueue;

class TTimer {
public:
    explicit TTimer(unsigned intervalMs = 1000, bool enabled = false);
    TTimer(MessageLoop& loop, unsigned intervalMs, bool enabled);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    unsigned Interval() const { return intervalMs_; }
    void SetInterval(unsigned intervalMs);

    Delegate<void()> OnTimer;

private:
    friend class TimerQueue;

    void Restart();

    MessageLoop& loop_;
    unsigned intervalMs_;
    bool enabled_ = false;
    Micros due_ = 0;
    std::uint64_t firedInPass_ = 0;
    TTimer* prev_ = nullptr;
    TTimer* next_ = nullptr;
};

}  // namespace q31
