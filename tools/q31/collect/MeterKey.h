// Whose records: a meter's name, the serial number that answered under it,
// and the epoch, raised by one each time that meter's counters were reset.
// Records of different keys are never mixed.
#pragma once

#include <cstdint>
#include <string>

namespace q31::tool::collect {

struct MeterKey {
    std::string name;
    std::uint32_t serial = 0;
    std::int64_t epoch = 0;
};

}  // namespace q31::tool::collect
