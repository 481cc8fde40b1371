// One request packet as the meter received it.
#pragma once

#include <cstdint>
#include <vector>

namespace q31::sim {

struct LoggedRequest {
    std::uint64_t number = 0;         // the meter's request number
    std::vector<std::uint8_t> bytes;  // the whole packet, checksum included
};

}  // namespace q31::sim
