// One hourly energy record for a meter's chart: the raw register and, when a
// quantity was configured when it was stored, its value in `unit`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace q31::tool::forward {

struct ChartPoint {
    std::int64_t record = 0;
    std::int64_t value = 0;
    std::optional<double> quantity;
    std::string unit;  // empty: raw
};

}  // namespace q31::tool::forward
