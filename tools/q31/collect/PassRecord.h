// What a meter's pass has done so far, for the attempt it ends as.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/q31/common/ExitStatus.h"
#include "tools/q31/common/LineTrace.h"

namespace q31::tool::collect {

struct PassRecord {
    std::int64_t run = 0;
    std::int64_t start = 0;  // Unix seconds
    LineCounts lineCounts;   // the line's counts as the pass began
    std::optional<std::uint32_t> serialFound;
    std::string failure;  // why the pass failed, empty while it has not
    ExitStatus failureStatus = kExitOk;
};

}  // namespace q31::tool::collect
