// What the meter does about one request frame.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/Fault.h"

namespace q31::sim {

struct MeterReply {
    std::vector<std::uint8_t> bytes;  // what goes on the line; empty: nothing
    int delayMs = 0;                  // wait this long before sending
    std::uint64_t requestNumber = 0;  // 1, 2, ... for accepted requests; 0: frame ignored
    std::vector<Fault> faults;        // faults applied to this reply
};

}  // namespace q31::sim
