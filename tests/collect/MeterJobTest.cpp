// One meter's pass against a stand-in for the plug-in whose meter writes
// while it is read: what lands in the database are the meter's records
// under their own numbers, never a newer record under an older number.
#include "tools/q31/collect/MeterJob.h"

#include <gtest/gtest.h>

#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"

namespace q31::tool::collect {
namespace {

// The hourly ring of 1080 slots; the T value of record r is 5000 + r.
struct WritingMeter {
    std::uint32_t hours = 0;
    // Records the meter writes once the next series request has read its
    // counter, before the values go out.
    std::uint32_t writeDuringNextRead = 0;
    int seriesRequests = 0;
    std::int32_t slot[1080] = {};

    void Write(std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i, ++hours) slot[hours % 1080] = static_cast<std::int32_t>(5000 + hours);
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
int Q31_CALL GetModuleCount(q31_session*, const SDevIdent*, q31_count_cb cb, void* user) {
    cb(&kOk, 1, user);
    return Q31_OK;
}
int Q31_CALL GetCount(q31_session*, const SDevIdent*, q31_archive_count_cb cb, void* user) {
    SArhiveCount c{};
    c.HourCount = meter.hours;
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
    cb(&kOk, values, count, 4, user);
    return Q31_OK;
}

struct Rig {
    std::string dir = test::MakeTempDir("q31-meter-job");
    std::string db = dir + "/q31.sqlite";
    PluginApi api;
    CollectOutput out{false};
    MeterSpec spec;

    Rig() {
        api.get_id = &GetId;
        api.get_module_count = &GetModuleCount;
        api.get_archive_count = &GetCount;
        api.get_archive_series = &GetSeries;
        spec.name = "a";
        spec.serial = 310001;
        spec.series = {Q31_SERIES_T_HOUR};
        spec.logs = false;
        spec.currentEveryMin = 0;
        meter = WritingMeter{};
    }
    MeterJob::State Pass(std::int64_t run) {
        CollectStore store(db);
        MeterJob job(spec, api, store, out, false);
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

}  // namespace
}  // namespace q31::tool::collect
