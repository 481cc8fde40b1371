// The request on a meter's line, watched for the line falling silent.
#pragma once

#include <chrono>
#include <cstdint>

#include "tools/q31/common/LineTrace.h"

namespace q31::tool::collect {

struct RequestWatch {
    bool inFlight = false;
    std::chrono::steady_clock::time_point lastLineChange{};
    bool onLine = false;  // the request in flight has had the line (an event came)
    std::int64_t lastEventUs = 0;
    LineCounts lineCounts;  // the line's counts as the request began
};

}  // namespace q31::tool::collect
