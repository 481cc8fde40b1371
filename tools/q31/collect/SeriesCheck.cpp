#include "tools/q31/collect/SeriesCheck.h"

#include <algorithm>

namespace q31::tool::collect {

SeriesVerdict JudgeSeriesRead(std::uint32_t from, std::uint32_t before, std::uint32_t after, std::size_t count,
                              std::uint32_t slots) {
    SeriesVerdict v;
    // Counters that went backwards during the read: a reset, which the next
    // pass finds at its start; nothing read now can be placed.
    if (after < before) {
        v.kind = SeriesVerdict::Kind::Again;
        return v;
    }
    if (count == 0) {
        v.first = from;
        return v;
    }
    // Where the plug-in's own counter N stood: from + count when fewer than a
    // whole ring came; for a whole ring anywhere from `before` (and no less
    // than from + slots) up to `after`, pinned down only when that range is
    // one value.
    std::uint64_t newest = 0;  // N
    if (count < slots) {
        newest = static_cast<std::uint64_t>(from) + count;
        if (newest < before || newest > after) {
            v.kind = SeriesVerdict::Kind::Again;
            return v;
        }
    } else {
        const std::uint64_t lowest = std::max<std::uint64_t>(before, static_cast<std::uint64_t>(from) + slots);
        if (lowest != after) {
            v.kind = SeriesVerdict::Kind::Again;
            return v;
        }
        newest = after;
    }
    v.first = static_cast<std::uint32_t>(newest - count);
    const std::uint64_t held = after > slots ? after - slots : 0;  // the oldest record the meter still holds
    v.skip = static_cast<std::size_t>(std::min<std::uint64_t>(count, held > v.first ? held - v.first : 0));
    v.keep = count - v.skip;
    const std::uint64_t firstKept = static_cast<std::uint64_t>(v.first) + v.skip;
    if (firstKept > from) v.gap = RecordGap{from, static_cast<std::uint32_t>(firstKept - 1)};
    return v;
}

}  // namespace q31::tool::collect
