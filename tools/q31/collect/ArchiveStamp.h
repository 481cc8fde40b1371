// What the rows of one stored batch of archive values are given besides the
// raw register: when each record closed, and what its value means. Both are
// settled once, when the rows are stored.
#pragma once

#include <cstdint>

#include "tools/q31/common/Quantity.h"

namespace q31::tool::collect {

struct ArchiveStamp {
    // The meter stamps its records with a Time value of its own encoding,
    // which we cannot read; the collector's clock can say when the newest
    // record closed, and each older one closed one period before the next.
    // That holds as long as the meter wrote a record every period: a power
    // cut that skipped some shifts every older record's time.
    bool timed = false;  // false: no time is known, closed_at stays NULL
    std::int64_t newestRecord = 0;
    std::int64_t newestClosedAt = 0;  // Unix seconds UTC: the end of its hour or day
    std::int64_t periodS = 3600;
    // A record counted back further than this is marked estimated: a pass
    // ran since it closed, and the records between were not seen being written.
    std::int64_t exactWithinS = 0;
    const Quantity* quantity = nullptr;  // none: the raw value goes out as it is

    // The end of the hour or day record `record` closes (Unix seconds UTC).
    std::int64_t ClosedAt(std::int64_t record) const { return newestClosedAt - (newestRecord - record) * periodS; }
    bool Estimated(std::int64_t record) const { return (newestRecord - record) * periodS > exactWithinS; }
};

// The stamp of a batch of the ring whose counter stood at `counter` (the
// newest record is counter - 1) when the collector's clock read `now`. The
// hours and days end on UTC boundaries: a day closes at 00:00 UTC.
inline ArchiveStamp StampAt(std::uint32_t counter, std::int64_t now, bool daily, double passEveryMin,
                            const Quantity* quantity) {
    ArchiveStamp s;
    s.timed = true;
    s.periodS = daily ? 86400 : 3600;
    s.newestRecord = static_cast<std::int64_t>(counter) - 1;
    s.newestClosedAt = now - ((now % s.periodS) + s.periodS) % s.periodS;
    s.exactWithinS = static_cast<std::int64_t>(passEveryMin * 60);
    s.quantity = quantity;
    return s;
}

}  // namespace q31::tool::collect
