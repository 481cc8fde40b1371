// The virtual meter's archive: its counters, its hourly and daily rings in
// both layouts, and the commands 0x90 (archive read) and 0x91 (archive test).
//
// Every value is made from the record it belongs to (ring, series, module,
// record number), so a reader can tell exactly which record a delivered
// value came from. A slot holds the newest record written to it: with the
// counter at N, slot s holds the largest r < N with r mod S == s; a slot
// never written reads as erased flash (0xFF bytes).
//
// Second layout: one record per hour or day with every series in it, 264 or
// 256 bytes as the version word says. Command 0x90 names the address of the
// first value, a byte count and the value size; an address inside one of the
// record rings is answered with the field at that place of consecutive
// records, any other address with consecutive flash bytes. These records are
// made as they are read, from the counters in flash, so they always follow
// the counters.
//
// A meter that lives writes records on its own (WriteArchiveRecord). Each
// run of the archive has an era: 0 for the meter as it was made, higher after
// a reset or for the meter that replaced another. The era goes into the
// values (above the record number), so a record written again under the same
// number after a reset reads differently from the one it replaced.
//
// First layout: one ring of plain values per series and module, in flash at
// the area groups of the meter's memory map. They are written into flash
// when the meter is made and by SetArchiveCounters; a counter changed by a
// flash write of the master leaves them as they were.
#pragma once

#include <cstdint>

namespace q31::sim {

class MeterModel;
struct MeterConfig;

inline constexpr std::uint32_t kArchiveCountersAddress = 10496;  // FirstWord, HourCount, DayCount
inline constexpr std::uint32_t kHourSlots = 1080;
inline constexpr std::uint32_t kDaySlots = 550;

enum class ArchiveRing : std::uint8_t { Hours, Days };

// The second layout.
struct ArchiveLayout {
    std::uint32_t recordSize;
    std::uint32_t hourRing;  // address of the hourly ring's first record
    std::uint32_t dayRing;
};
inline constexpr std::uint16_t kSmallArchiveRecordsFrom = 0x00F0;
ArchiveLayout ArchiveLayoutFor(std::uint16_t versionWord);

// Fields of a second-layout record.
enum class ArchiveField : std::uint8_t { Time, Stop, E, U, M, T };
// Offset of a field in the record; `module` 1..6 (ignored for Time).
std::uint32_t ArchiveFieldOffset(ArchiveField field, int module);
// 4 for Time, Stop and T; 8 for E, U and M.
std::uint32_t ArchiveFieldBytes(ArchiveField field);

// The value a field holds in record `record`, as many low bytes as it has.
std::uint64_t ArchiveFieldValue(ArchiveRing ring, ArchiveField field, int module, std::uint32_t record,
                                std::uint32_t era = 0);

// The first layout's series, each a ring per module (1..6) at its area group.
enum class PlainSeries : std::uint8_t {
    HourLong,   // 4-byte hourly values, area group 2 (31680 + 4488 k)
    DayLong,    // 4-byte daily values, area group 15 (280896 + 2376 k)
    HourShort,  // 2-byte hourly values, area group 1 (17424 + 2376 k)
    DayShort,   // 2-byte daily values, area group 14 (272976 + 1320 k)
    // 2-byte hourly values read with 0x90 as plain values, area group 24
    // (449320 + 2376 k), which lies outside both record rings.
    HourShortV2,
};
std::uint32_t PlainRingAddress(PlainSeries series, int module);
std::uint32_t PlainValueBytes(PlainSeries series);
ArchiveRing PlainRing(PlainSeries series);
std::uint64_t PlainValue(PlainSeries series, int module, std::uint32_t record, std::uint32_t era = 0);

// The record a slot holds with the counter at `count`; false when the slot
// has never been written.
bool RecordInSlot(std::uint32_t count, std::uint32_t slots, std::uint32_t slot, std::uint32_t& record);

// Writes the counters into flash and the first layout's rings to match.
void SetArchiveCounters(MeterModel& meter, std::uint32_t firstWord, std::uint32_t hourCount, std::uint32_t dayCount);

// Starts the archive afresh in `era` with the counters given, as if that many
// records had been written in it.
void RestartArchive(MeterModel& meter, std::uint32_t era, std::uint32_t hourCount, std::uint32_t dayCount);

// Counter of a ring as it stands in flash.
std::uint32_t ArchiveCount(const MeterModel& meter, ArchiveRing ring);

// Writes the next record of `ring`, as the meter does at the end of an hour
// or a day: the first layout's slot, then the counter. Returns its number.
std::uint32_t WriteArchiveRecord(MeterModel& meter, ArchiveRing ring);

// Fills the counters and the first layout's rings from the configuration
// and installs the handlers of 0x90 and 0x91.
void InstallArchiveContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
