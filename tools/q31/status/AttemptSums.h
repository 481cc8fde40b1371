// The passes over one meter with one outcome, and what they cost, summed.
#pragma once

#include <cstdint>

namespace q31::tool::forward {

struct AttemptSums {
    std::int64_t count = 0;
    std::int64_t packets = 0;
    std::int64_t resends = 0;
    std::int64_t rejectedChecksum = 0;
    std::int64_t rejectedOther = 0;
    std::int64_t timeouts = 0;
};

}  // namespace q31::tool::forward
