// The virtual meter's live records (the RAM records its pointer words name:
// last measurement, module totals, device flags, flag bytes, stop time) and
// its totals areas in flash (all-totals and day-totals).
//
// The master reads and clears them with the generic memory commands, so no
// command handler of its own is needed; this only makes the content.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q31::sim {

class MeterModel;
struct MeterConfig;

// Sizes of the RAM records (the flag bytes are read as 16, of which the
// master keeps 14).
inline constexpr std::size_t kDeviceFlagsSize = 24;
inline constexpr std::size_t kFlagsByteSize = 16;
inline constexpr std::size_t kStopTimeSize = 16;

// The totals areas in flash, where the default memory map puts them.
inline constexpr std::uint32_t kAllTotalsFlashAddress = 9472;  // 0x2500
inline constexpr std::size_t kAllTotalsSize = 560;
inline constexpr std::uint32_t kDayTotalsFlashAddress = 8448;  // 0x2100
inline constexpr std::size_t kDayTotalsSize = 328;

// Fills the records, from config.seed, at the RAM addresses the meter's
// pointer record names, and the two totals areas.
void InstallTotalsContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
