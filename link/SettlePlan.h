// When a packet may go out after the line was found busy: once the line
// has been quiet for `quiet` and the answers still owed are past their bound
// (`notBefore`), and never later than a cap, so that a line that never falls
// quiet cannot hold a request for ever. In a wait for owed answers every
// byte that arrives is such an answer, and the ones behind it may be as late
// after it: it moves `notBefore` on.
//
// Pure arithmetic on the engine's clock: no timers, no port.
#pragma once

#include <algorithm>

#include "runtime/Clock.h"

namespace q31 {

class SettlePlan {
public:
    // Starts a wait at `now` that lasts at most `cap`; returns the first
    // stretch to wait.
    Micros Start(Micros now, Micros notBefore, Micros quiet, Micros cap, bool owedWait) {
        notBefore_ = notBefore;
        quiet_ = quiet;
        cap_ = now + cap;
        owedWait_ = owedWait;
        return std::max(notBefore - now, quiet);
    }
    // A byte arrived; in an owed wait the bound runs on to `until`.
    void ByteSeen(Micros until) {
        if (owedWait_) notBefore_ = std::max(notBefore_, until);
    }
    // What is left to wait at `now`, the last byte having come at
    // `lastByteAt`; 0: the packet goes.
    Micros Left(Micros now, Micros lastByteAt) const {
        const Micros quietFor = now - lastByteAt;
        if (now >= cap_ || (now >= notBefore_ && quietFor >= quiet_)) return 0;
        return std::min(std::max(notBefore_ - now, quiet_ - quietFor), cap_ - now);
    }

private:
    Micros notBefore_ = 0;
    Micros quiet_ = 0;
    Micros cap_ = 0;
    bool owedWait_ = false;
};

}  // namespace q31
