// Which values of one archive series read may be stored, decided from the
// counters alone. The meter may write while its ring is read (a collector
// started by cron at the full hour meets it doing so): a record written
// during the read lands in the slot of the oldest one, so a value read from
// such a slot may belong to either record. Only the counter read after the
// values tells which records are beyond doubt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace q31::tool::collect {

// Records a ring lost before they were read: first..last, both inclusive.
struct RecordGap {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

struct SeriesVerdict {
    // Again: the values cannot be given record numbers (the meter wrote
    // while a whole ring was read); read the series once more.
    enum class Kind { Store, Again };
    Kind kind = Kind::Store;
    std::uint32_t first = 0;  // record number of the first value kept
    std::size_t skip = 0;     // values at the front that are dropped
    std::size_t keep = 0;     // values kept after them
    std::optional<RecordGap> gap;
};

// `from`: the first record asked for; `before`: the counter read before the
// request (the plug-in reads its own, no smaller, when the request begins);
// `after`: the counter read once the values were in; `count`: the values
// delivered, at most `slots`, the ring's size.
//
// The plug-in delivers the records from `from` up to its counter N, or the
// whole ring (N - slots to N - 1) when `from` was overwritten already. A
// record r is beyond doubt when the meter still held it at `after`
// (r >= after - slots): its slot was not written between N and `after`.
// Older ones are dropped and recorded as a gap, since the meter holds them
// no longer.
SeriesVerdict JudgeSeriesRead(std::uint32_t from, std::uint32_t before, std::uint32_t after, std::size_t count,
                              std::uint32_t slots);

}  // namespace q31::tool::collect
