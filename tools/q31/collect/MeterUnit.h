// What the store knew of one serial number under one name.
#pragma once

#include <cstdint>
#include <optional>

namespace q31::tool::collect {

struct MeterUnit {
    std::int64_t epoch = 0;
    // The counters when they were last read; none before the first read.
    std::optional<std::uint32_t> hourCount;
    std::optional<std::uint32_t> dayCount;
};

}  // namespace q31::tool::collect
