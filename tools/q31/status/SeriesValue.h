// The newest stored value of one archive series that has a quantity, for
// /metrics: cached from the collector's last read, not read from the meter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace q31::tool::forward {

struct SeriesValue {
    int module = 0;
    std::string series;  // e.g. "e_hour"
    double quantity = 0;
    std::string unit;
    std::optional<std::int64_t> closedAt;  // of its record, Unix seconds; unset: not known
};

}  // namespace q31::tool::forward
