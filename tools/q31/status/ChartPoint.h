// One hourly energy value for a meter's chart.
#pragma once

#include <cstdint>

namespace q31::tool::forward {

struct ChartPoint {
    std::int64_t record = 0;
    std::int64_t value = 0;
};

}  // namespace q31::tool::forward
