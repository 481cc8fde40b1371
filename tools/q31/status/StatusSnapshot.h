// What the status page and /metrics show, read from the collector's database
// in one transaction together with the sinks' state: both pages are written
// from this one record.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/q31/forward/ForwardStatus.h"

namespace q31::tool::forward {

// The passes over one meter with one outcome, and what they cost.
struct AttemptSums {
    std::int64_t count = 0;
    std::int64_t packets = 0;
    std::int64_t resends = 0;
    std::int64_t rejectedChecksum = 0;
    std::int64_t rejectedOther = 0;
    std::int64_t timeouts = 0;
};

// One hourly energy value for the chart.
struct ChartPoint {
    std::int64_t record = 0;
    std::int64_t value = 0;
};

struct MeterState {
    std::string name;
    std::int64_t serial = 0;
    std::int64_t epoch = 0;
    std::string outcome;  // empty: not tried yet
    std::optional<std::int64_t> lastOk;
    std::int64_t failures = 0;
    std::int64_t records = 0;  // archive values stored, of every series and module
    std::int64_t gaps = 0;
    // The chart's module (0: no hourly energy stored) and its newest values,
    // oldest first; read for the page only.
    int module = 0;
    std::vector<ChartPoint> points;
};

struct StatusSnapshot {
    std::vector<MeterState> meters;                                       // by name
    std::map<std::pair<std::string, std::string>, AttemptSums> attempts;  // by meter, outcome
    std::vector<ForwardStatus> sinks;

    // The meter's sums over every outcome (`count` left 0).
    AttemptSums AttemptTotal(const std::string& meter) const;
};

}  // namespace q31::tool::forward
