// The newest value of one archive series as Home Assistant is told it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace q31::tool::forward {

struct HomeAssistantReading {
    std::string meter;
    std::uint32_t serial = 0;
    std::int64_t epoch = 0;
    int module = 0;
    std::string series;  // e.g. "e_hour"
    std::string name;    // the quantity's, e.g. "Energy"
    std::string unit;
    double value = 0;      // raw × scale
    std::int64_t raw = 0;  // the register as the meter holds it
    std::int64_t record = 0;
    std::optional<std::int64_t> closedAt;  // Unix seconds; unset: not known
    bool estimated = false;
};

}  // namespace q31::tool::forward
