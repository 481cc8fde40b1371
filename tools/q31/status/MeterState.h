// One meter as the status page and /metrics show it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/q31/status/ChartPoint.h"
#include "tools/q31/status/SeriesValue.h"

namespace q31::tool::forward {

struct MeterState {
    std::string name;
    std::int64_t serial = 0;
    std::int64_t address = 0;
    std::string port;
    std::int64_t epoch = 0;
    std::string outcome;  // empty: not tried yet
    std::optional<std::int64_t> lastOk;
    std::int64_t failures = 0;
    std::int64_t records = 0;  // archive values stored, of every series and module
    std::int64_t gaps = 0;
    // The newest value of each series with a quantity, of the present serial
    // number and epoch, by module and series.
    std::vector<SeriesValue> values;
    // The chart's module (0: no hourly energy stored) and its newest values,
    // oldest first; read for the page only.
    int module = 0;
    std::vector<ChartPoint> points;
};

}  // namespace q31::tool::forward
