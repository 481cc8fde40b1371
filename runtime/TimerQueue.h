// The timer bookkeeping of a message loop, kept apart from any OS facility:
// it only knows the registered timers, their due times and the time "now"
// that its caller hands in. The platform loop decides when to call RunDue.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/Clock.h"

namespace q31 {

class TTimer;

class TimerQueue {
public:
    void Add(TTimer& timer);
    void Remove(TTimer& timer);

    // Fires every enabled timer whose due time is not after `now`, earliest
    // first, each at most once per call (so a zero interval cannot spin).
    // Returns how many handlers ran.
    int RunDue(Micros now);

    // Earliest due time of an enabled timer, if any.
    std::optional<Micros> NextDue() const;

private:
    TTimer* EarliestDue(Micros now) const;

    TTimer* head_ = nullptr;
    std::uint64_t pass_ = 0;
};

}  // namespace q31
