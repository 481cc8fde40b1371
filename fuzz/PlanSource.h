// Where the line gets its plan for the meter's reply to each packet: the
// fuzz input (SessionInput), or a scripted line of the lateness sweep.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "fuzz/ReplyPlan.h"

namespace q31::fuzz {

class PlanSource {
public:
    // The plan for the reply to `packet`, which the link has just written;
    // none: the meter answers correctly and on time.
    virtual std::optional<ReplyPlan> NextPlan(std::span<const std::uint8_t> packet) = 0;
    // Whether plans that may be faulty are still to come.
    virtual bool PlansLeft() const = 0;
    // A host request begins (the sweep's lines count packets per request).
    virtual void RequestStarted() {}

protected:
    ~PlanSource() = default;
};

}  // namespace q31::fuzz
