// One meter's pass against a stand-in for the plug-in whose meter writes
// while it is read: what lands in the database are the meter's records
// under their own numbers, never a newer record under an older number.
#include "tools/q31/collect/MeterJob.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tools/q31/common/ToolError.h"

#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"

namespace q31::tool::collect {
namespace {

// The hourly ring of 1080 slots; the T value of record r is 5000 + r.
struct WritingMeter {
    std::uint32_t hours = 0;
    std::uint32_t days = 0;  // the daily counter only: no daily series is read
    // Records the meter writes once the next series request has read its
    // counter, before the values go out.
    std::uint32_t writeDuringNextRead = 0;
    // Resets the meter once the next series request has read its values:
    // its counters start again, and its records are 9000 + r from then on.
    bool resetAfterNextRead = false;
    std::int32_t base = 5000;
    int seriesRequests = 0;
    std::int32_t slot[1080] = {};

    void Write(std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i, ++hours) slot[hours % 1080] = base + static_cast<std::int32_t>(hours);
    }
};
WritingMeter meter;

const q31_result kOk{Q31_OK, 0, 0};

int Q31_CALL GetId(q31_session*, q31_ident_cb cb, void* user) {
    SDevIdent ident{};
    ident.DevType = 5120;
    ident.IdWord2 = 256;
    ident.SerialNumber = 310001;
    cb(&kOk, &ident, user);
    return Q31_OK;
}
std::uint32_t moduleCount = 1;
int Q31_CALL GetModuleCount(q31_session*, const SDevIdent*, q31_count_cb cb, void* user) {
    cb(&kOk, moduleCount, user);
    return Q31_OK;
}
int Q31_CALL GetCount(q31_session*, const SDevIdent*, q31_archive_count_cb cb, void* user) {
    SArhiveCount c{};
    c.HourCount = meter.hours;
    c.DayCount = meter.days;
    cb(&kOk, &c, user);
    return Q31_OK;
}
int Q31_CALL GetSeries(q31_session*, const SDevIdent*, q31_series, std::uint32_t, std::uint32_t start, q31_series_cb cb,
                       void* user) {
    ++meter.seriesRequests;
    const std::uint32_t newest = meter.hours;  // the counter the request begins with
    const std::uint32_t count = std::min<std::uint32_t>(newest - start, 1080);
    meter.Write(meter.writeDuringNextRead);
    meter.writeDuringNextRead = 0;
    std::int32_t values[1080];
    for (std::uint32_t i = 0; i < count; ++i) values[i] = meter.slot[(newest - count + i) % 1080];
    if (meter.resetAfterNextRead) {
        meter.resetAfterNextRead = false;
        meter.hours = 0;
        meter.base = 9000;
        meter.Write(5);
    }
    cb(&kOk, values, count, 4, user);
    return Q31_OK;
}

// The device's error log: a head of 7 words and 8 blocks of 16 records of 8
// bytes; block 1 holds record bytes {n, n, ...} for n = 1..logRecords, the
// rest of the log is erased flash (all 0xFF).
struct ErrorLog {
    std::uint16_t head = 1;
    std::uint8_t records = 0;
    int blockReads = 0;
} errorLog;
std::int64_t wallClock = 0;  // the test's clock, Unix seconds
int snapshotReads = 0;

int Q31_CALL GetErrorHead(q31_session*, const SDevIdent*, q31_words_cb cb, void* user) {
    const std::uint16_t words[7] = {errorLog.head, 0, 0, 0, 0, 0, 0};
    cb(&kOk, words, 7, user);
    return Q31_OK;
}
int Q31_CALL GetErrorBlock(q31_session*, const SDevIdent*, std::uint32_t block, q31_records_cb cb, void* user) {
    ++errorLog.blockReads;
    std::uint8_t bytes[16 * 8];
    std::memset(bytes, 0xFF, sizeof bytes);
    for (std::uint8_t r = 0; block == 1 && r < errorLog.records; ++r) std::memset(bytes + 8 * r, r + 1, 8);
    cb(&kOk, bytes, 16, 8, user);
    return Q31_OK;
}
int Q31_CALL GetCurrent(q31_session*, const SDevIdent*, q31_current_data_cb cb, void* user) {
    ++snapshotReads;
    wallClock += 30;  // a slow line: the read takes half a minute
    SCurrentData d{};
    cb(&kOk, &d, user);
    return Q31_OK;
}

int Q31_CALL GetTotals(q31_session*, const SDevIdent*, q31_accumulated_data_cb cb, void* user) {
    SAccumulatedData d{};
    cb(&kOk, &d, user);
    return Q31_OK;
}

struct Rig {
    std::string dir = test::MakeTempDir("q31-meter-job");
    std::string db = dir + "/q31.sqlite";
    PluginApi api;
    CollectOutput out{false};
    MeterSettings settings;

    Rig() {
        api.get_id = &GetId;
        api.get_module_count = &GetModuleCount;
        api.get_archive_count = &GetCount;
        api.get_archive_series = &GetSeries;
        api.get_error_head_device = &GetErrorHead;
        api.get_error_block_device = &GetErrorBlock;
        api.get_current_data = &GetCurrent;
        api.get_accumulated_data = &GetTotals;
        settings.name = "a";
        settings.serial = 310001;
        settings.series = {Q31_SERIES_T_HOUR};
        settings.logs = false;
        settings.currentEveryMin = 0;
        meter = WritingMeter{};
        errorLog = ErrorLog{};
        snapshotReads = 0;
        moduleCount = 1;
    }
    MeterJob::State Pass(std::int64_t run) {
        CollectStore store(db);
        MeterJob job(settings, api, store, out, false);
        job.SetWallClock([] { return wallClock; });
        job.Begin(run, true);
        MeterJob::State state = MeterJob::State::Running;
        for (int i = 0; i < 100 && state == MeterJob::State::Running; ++i) state = job.Poll();
        return state;
    }
    long long Number(const std::string& sql) { return test::QueryNumber(db, sql); }
};

TEST(MeterJob, AWholeRingReadWhileTheMeterWroteIsReadAgainAndStoredUnderItsTrueNumbers) {
    Rig rig;
    meter.Write(2000);
    // Record 2000 goes into slot 920 before it is read: the first value is
    // 7000, where record 920 (5920) was.
    meter.writeDuringNextRead = 1;
    ASSERT_EQ(rig.Pass(1), MeterJob::State::Done);
    EXPECT_EQ(meter.seriesRequests, 2);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values"), 1080);
    EXPECT_EQ(rig.Number("SELECT min(record) FROM archive_values"), 921);
    EXPECT_EQ(rig.Number("SELECT value FROM archive_values WHERE record=921"), 5921);
    EXPECT_EQ(rig.Number("SELECT value FROM archive_values WHERE record=2000"), 7000);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values WHERE value<>5000+record"), 0);
}

TEST(MeterJob, RecordsOverwrittenWhileTheyWereReadAreAGapAndTheRestIsStored) {
    Rig rig;
    meter.Write(1900);
    ASSERT_EQ(rig.Pass(1), MeterJob::State::Done);
    // 100 new records, and 990 more written during their read: records
    // 1900..1909 lie in slots overwritten by 2900..2909.
    meter.Write(100);
    meter.writeDuringNextRead = 990;
    ASSERT_EQ(rig.Pass(2), MeterJob::State::Done);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values WHERE run=2"), 90);
    EXPECT_EQ(rig.Number("SELECT min(record) FROM archive_values WHERE run=2"), 1910);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values WHERE value<>5000+record"), 0);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM gaps WHERE first_missing=1900 AND last_missing=1909"), 1);
}

TEST(MeterJob, AResetDuringThePassStoresNothingOfTheNewRunUnderTheOldEpoch) {
    Rig rig;
    meter.Write(100);
    meter.resetAfterNextRead = true;
    // The counters read after the values stand at 5: the pass ends there.
    ASSERT_EQ(rig.Pass(1), MeterJob::State::Failed);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values WHERE value >= 9000"), 0);
    // The next pass finds the reset and reads the new run into epoch 1.
    ASSERT_EQ(rig.Pass(2), MeterJob::State::Done);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values WHERE epoch=1 AND value=9000+record"), 5);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values WHERE epoch=0 AND value >= 9000"), 0);
}

TEST(MeterJob, EitherCounterGoneBackIsAResetAndARecordStoredAtTheCounterIsNotReadOver) {
    Rig rig;
    meter.Write(100);
    meter.days = 40;
    ASSERT_EQ(rig.Pass(1), MeterJob::State::Done);
    // The hours went on, the days went back: reset all the same.
    meter.Write(20);
    meter.days = 3;
    ASSERT_EQ(rig.Pass(2), MeterJob::State::Done);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM meter_events WHERE kind='reset' AND epoch=1"), 1);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM archive_values WHERE epoch=1"), 120);

    // A record stored under the number the counter stands at: the meter
    // holds no such record yet, so the one stored is of a run before a reset.
    ASSERT_EQ(test::ExecSql(
                  rig.db,
                  "INSERT INTO archive_values(meter, serial, epoch, module, series, record, value, run) SELECT meter, "
                  "serial, epoch, module, series, 120, "
                  "value, run FROM archive_values WHERE epoch=1 AND record=119"),
              "");
    testing::internal::CaptureStderr();
    ASSERT_EQ(rig.Pass(3), MeterJob::State::Done);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("a: t_hour module 1: the meter counts 120 records, record 120 is stored already"),
              std::string::npos)
        << err;
}

// The newest record closed at the hour the collector's clock passed last;
// each older one an hour before the next, estimated once counted back
// further than the pass interval (60 min here).
TEST(MeterJob, EachRecordIsStoredWithTheHourItClosedCountedBackFromTheNewestAndItsQuantity) {
    Rig rig;
    rig.settings.quantities = {{"t", {"°C", 0.01, "Temperature"}}};
    meter.Write(10);
    wallClock = 1765200125;  // 2025-12-08 13:22:05 UTC
    ASSERT_EQ(rig.Pass(1), MeterJob::State::Done);
    const char* query =
        "SELECT record, value, closed_at, closed_at_estimated, quantity, unit FROM archive_values WHERE record >= 7 "
        "ORDER BY record";
    EXPECT_EQ(test::QueryRows(rig.db, query),
              (std::vector<std::string>{"7|5007|1765191600|1|50.07|°C", "8|5008|1765195200|0|50.08|°C",
                                        "9|5009|1765198800|0|50.09|°C"}));
    // Two hours on, two more records. The ones stored keep their times, and
    // a series without a quantity goes raw.
    rig.settings.quantities.clear();
    meter.Write(2);
    wallClock = 1765207205;  // 15:20:05
    ASSERT_EQ(rig.Pass(2), MeterJob::State::Done);
    EXPECT_EQ(
        test::QueryRows(rig.db, query),
        (std::vector<std::string>{"7|5007|1765191600|1|50.07|°C", "8|5008|1765195200|0|50.08|°C",
                                  "9|5009|1765198800|0|50.09|°C", "10|5010|1765202400|0||", "11|5011|1765206000|0||"}));
}

TEST(MeterJob, ADayClosesAtMidnightUtcAndIsEstimatedOnceCountedBackBeyondThePassInterval) {
    const Quantity energy{"GJ", 0.001, "Energy"};
    const ArchiveStamp s = StampAt(5, 1765200125, true, 60, &energy);
    EXPECT_EQ(s.ClosedAt(4), 1765152000);  // 2025-12-08 00:00:00 UTC
    EXPECT_EQ(s.ClosedAt(2), 1764979200);  // 2025-12-06
    EXPECT_FALSE(s.Estimated(4));
    EXPECT_TRUE(s.Estimated(3));
    // Before 1970 the hour still ends on the boundary below the clock.
    EXPECT_EQ(StampAt(1, -10, false, 60, nullptr).ClosedAt(0), -3600);
}

TEST(MeterJob, ASnapshotIsDueAPeriodAfterTheLastOnesPassBeganLessTheTolerance) {
    Rig rig;
    rig.settings.series.clear();
    rig.settings.currentEveryMin = 1;
    // The first pass begins at 1000 and takes its snapshot at 1030.
    wallClock = 1000;
    ASSERT_EQ(rig.Pass(1), MeterJob::State::Done);
    ASSERT_EQ(snapshotReads, 1);
    EXPECT_EQ(rig.Number("SELECT taken_at * 10000 + pass_started FROM snapshots WHERE kind='current'"),
              1030 * 10000 + 1000);
    // Cron one minute on, started 12 s sooner than the last pass: 48 s
    // after its start, and 18 s after the snapshot, is too soon.
    wallClock = 1048;
    ASSERT_EQ(rig.Pass(2), MeterJob::State::Done);
    EXPECT_EQ(snapshotReads, 1);
    // 50 s after the last pass began is within the 10 s tolerance of the
    // minute, although the last snapshot was taken only 20 s before.
    wallClock = 1050;
    ASSERT_EQ(rig.Pass(3), MeterJob::State::Done);
    EXPECT_EQ(snapshotReads, 2);
    EXPECT_FALSE(SnapshotDue(1000, 1049, 1));
    EXPECT_TRUE(SnapshotDue(std::nullopt, 0, 1));
    EXPECT_FALSE(SnapshotDue(std::nullopt, 0, 0));
}

TEST(MeterJob, ALogWhoseHeadMovedIsReadAgainAndItsErasedRecordsAreNotStored) {
    Rig rig;
    rig.settings.series.clear();
    rig.settings.logs = true;
    // A meter with no modules: only the device's error log.
    moduleCount = 0;
    errorLog.records = 2;
    ASSERT_EQ(rig.Pass(1), MeterJob::State::Done);
    EXPECT_EQ(errorLog.blockReads, 8);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM log_records"), 2);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM log_records WHERE data=x'FFFFFFFFFFFFFFFF'"), 0);
    // The same head: nothing read.
    ASSERT_EQ(rig.Pass(2), MeterJob::State::Done);
    EXPECT_EQ(errorLog.blockReads, 8);
    // A new record moves the head: the log is read again and the record kept.
    errorLog.records = 3;
    errorLog.head = 2;
    ASSERT_EQ(rig.Pass(3), MeterJob::State::Done);
    EXPECT_EQ(errorLog.blockReads, 16);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM log_records"), 3);
    EXPECT_EQ(rig.Number("SELECT count(*) FROM log_records WHERE data=x'0303030303030303' AND position=2"), 1);
    EXPECT_EQ(rig.Number("SELECT words FROM log_heads"), 2);
}

TEST(CollectStore, ASeriesBatchIsOneTransactionWithItsGap) {
    const std::string db = test::MakeTempDir("q31-store") + "/q31.sqlite";
    CollectStore store(db);
    // Another program's trigger refuses the gap, after the values went in.
    ASSERT_EQ(test::ExecSql(db, "CREATE TRIGGER refuse BEFORE INSERT ON gaps BEGIN SELECT RAISE(ABORT, 'no'); END"),
              "");
    EXPECT_THROW(store.StoreSeries({"a", 1, 0}, 1, "t_hour", 10, {1, 2, 3}, RecordGap{0, 9}, 1), ToolError);
    EXPECT_EQ(test::QueryNumber(db, "SELECT count(*) FROM archive_values"), 0);
}

}  // namespace
}  // namespace q31::tool::collect
