// The twelve archive series in the context API's order (q31_series), and
// what the tool needs to know of the meter's rings to number their records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace q31::tool {

inline constexpr int kSeriesCount = 12;
// Records each ring keeps: the oldest are overwritten.
inline constexpr std::uint32_t kHourSlots = 1080;
inline constexpr std::uint32_t kDaySlots = 550;

// "time_hour", "stop_hour", "t_hour", "u_hour", "m_hour", "e_hour", then the same with _day.
const char* SeriesName(int series);
std::optional<int> SeriesByName(const std::string& name);

inline bool SeriesIsDaily(int series) { return series >= 6; }
// U, M and E are 64-bit values; time, stop and T 32-bit.
inline bool SeriesIsWide(int series) { return series % 6 >= 3; }
inline std::uint32_t SeriesSlots(int series) { return SeriesIsDaily(series) ? kDaySlots : kHourSlots; }

// The record number of the first value a read from `start` delivers, with
// the ring's counter at `counter`: `start`, or the oldest record the ring
// still keeps when `start` is older.
std::uint32_t FirstDeliveredRecord(std::uint32_t counter, std::uint32_t slots, std::uint32_t start);
// How many values that read delivers (0 when `start` is not yet written).
std::uint32_t DeliveredCount(std::uint32_t counter, std::uint32_t slots, std::uint32_t start);

}  // namespace q31::tool
