// What the status page and /metrics show, read from the collector's database
// in one transaction together with the sinks' state: both pages are written
// from this one record.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/q31/forward/ForwardStatus.h"
#include "tools/q31/status/AttemptSums.h"
#include "tools/q31/status/MeterState.h"

namespace q31::tool::forward {

struct StatusSnapshot {
    std::vector<MeterState> meters;                                       // by name
    std::map<std::pair<std::string, std::string>, AttemptSums> attempts;  // by meter, outcome
    std::vector<ForwardStatus> sinks;
    // Each channel's last cycle, in seconds, by channel (port) name.
    std::vector<std::pair<std::string, double>> channels;

    // The meter's sums over every outcome (`count` left 0).
    AttemptSums AttemptTotal(const std::string& meter) const;
};

}  // namespace q31::tool::forward
