// Monotonic time as the message loop sees it.
//
// Engine tests replace the clock with ManualClock and advance it by hand, so
// that time-outs, send delays and the dispatcher tick run without sleeping.
#pragma once

#include <cstdint>

namespace q31 {

// Microseconds since an arbitrary origin.
using Micros = std::int64_t;

class IClock {
public:
    virtual ~IClock() = default;
    virtual Micros Now() const = 0;
    // Blocks the calling thread (the real clock) or moves time on (a manual clock).
    virtual void Sleep(int milliseconds) = 0;
};

// The real monotonic clock.
class SteadyClock final : public IClock {
public:
    Micros Now() const override;
    void Sleep(int milliseconds) override;
    static SteadyClock& Instance();
};

// A clock that only moves when told to.
class ManualClock final : public IClock {
public:
    Micros Now() const override { return now_; }
    void Sleep(int milliseconds) override { now_ += Micros{milliseconds} * 1000; }
    void Advance(Micros by) { now_ += by; }
    void Set(Micros to) { now_ = to; }

private:
    Micros now_ = 0;
};

}  // namespace q31
