#include "tools/q31/common/ArchiveSeries.h"

namespace q31::tool {

namespace {
const char* const kNames[kSeriesCount] = {"time_hour", "stop_hour", "t_hour", "u_hour", "m_hour", "e_hour",
                                          "time_day",  "stop_day",  "t_day",  "u_day",  "m_day",  "e_day"};
}  // namespace

const char* SeriesName(int series) { return series >= 0 && series < kSeriesCount ? kNames[series] : "?"; }

std::optional<int> SeriesByName(const std::string& name) {
    for (int i = 0; i < kSeriesCount; ++i)
        if (name == kNames[i]) return i;
    return std::nullopt;
}

std::uint32_t FirstDeliveredRecord(std::uint32_t counter, std::uint32_t slots, std::uint32_t start) {
    const std::uint32_t oldestKept = counter > slots ? counter - slots : 0;
    return start < oldestKept ? oldestKept : start;
}

std::uint32_t DeliveredCount(std::uint32_t counter, std::uint32_t slots, std::uint32_t start) {
    const std::uint32_t first = FirstDeliveredRecord(counter, slots, start);
    return first < counter ? counter - first : 0;
}

}  // namespace q31::tool
