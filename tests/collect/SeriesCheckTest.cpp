// Which records of a series read are stored, when the meter may have
// written while it was read. The hourly ring has 1080 slots.
#include "tools/q31/collect/SeriesCheck.h"

#include <gtest/gtest.h>

namespace q31::tool::collect {
namespace {

using Kind = SeriesVerdict::Kind;

TEST(SeriesCheck, AReadTheMeterDidNotWriteIntoIsStoredWholeWithTheGapOfWhatWasLostBefore) {
    // 300 records, none stored: all of them.
    SeriesVerdict v = JudgeSeriesRead(0, 300, 300, 300, 1080);
    EXPECT_EQ(v.kind, Kind::Store);
    EXPECT_EQ(v.first, 0u);
    EXPECT_EQ(v.skip, 0u);
    EXPECT_EQ(v.keep, 300u);
    EXPECT_FALSE(v.gap);

    // Stored up to 99, the ring went round to 2000: records 920..1999, and
    // 100..919 recorded as lost.
    v = JudgeSeriesRead(100, 2000, 2000, 1080, 1080);
    EXPECT_EQ(v.kind, Kind::Store);
    EXPECT_EQ(v.first, 920u);
    EXPECT_EQ(v.keep, 1080u);
    ASSERT_TRUE(v.gap);
    EXPECT_EQ(v.gap->first, 100u);
    EXPECT_EQ(v.gap->last, 919u);

    // The meter wrote record 300 after its counter was read for the request:
    // records 298 and 299 are still held, nothing is in doubt.
    v = JudgeSeriesRead(298, 300, 301, 2, 1080);
    EXPECT_EQ(v.kind, Kind::Store);
    EXPECT_EQ(v.first, 298u);
    EXPECT_EQ(v.keep, 2u);
}

TEST(SeriesCheck, AWholeRingReadWhileTheMeterWroteIsReadAgain) {
    // 1080 values, the counter 2000 before and 2001 after: they begin at
    // record 920 or 921, nobody can tell.
    EXPECT_EQ(JudgeSeriesRead(920, 2000, 2001, 1080, 1080).kind, Kind::Again);
    // A ring just full: 1080 values from 0 while the meter moved to 1081.
    EXPECT_EQ(JudgeSeriesRead(0, 1080, 1081, 1080, 1080).kind, Kind::Again);
    // Read again with the new counter as the one before: pinned down.
    const SeriesVerdict v = JudgeSeriesRead(921, 2001, 2001, 1080, 1080);
    EXPECT_EQ(v.kind, Kind::Store);
    EXPECT_EQ(v.first, 921u);
    EXPECT_EQ(v.keep, 1080u);
    EXPECT_FALSE(v.gap);
}

TEST(SeriesCheck, CountersThatDisagreeWithTheValuesOrWentBackAreReadAgain) {
    EXPECT_EQ(JudgeSeriesRead(0, 300, 100, 100, 1080).kind, Kind::Again);  // reset during the read
    EXPECT_EQ(JudgeSeriesRead(0, 300, 300, 200, 1080).kind, Kind::Again);  // fewer values than the counter says
    EXPECT_EQ(JudgeSeriesRead(0, 300, 300, 301, 1080).kind, Kind::Again);  // more: the newest beyond the counter after
    // Nothing delivered, but the counters went back meanwhile: the request
    // began at the old run's end, which names no record of the new one.
    EXPECT_EQ(JudgeSeriesRead(300, 300, 100, 0, 1080).kind, Kind::Again);
    const SeriesVerdict none = JudgeSeriesRead(300, 300, 300, 0, 1080);
    EXPECT_EQ(none.kind, Kind::Store);
    EXPECT_EQ(none.keep, 0u);
    EXPECT_FALSE(none.gap);
}

}  // namespace
}  // namespace q31::tool::collect
