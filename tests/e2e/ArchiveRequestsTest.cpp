// The archive exports from end to end against a virtual meter whose every
// archive value tells the record, series and module it belongs to: counters,
// whole rings across their end, both record layouts, the refusals, and the
// progress text.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "plugin/TFXB.h"
#include "plugin/exports/PluginInstance.h"
#include "sim/ArchiveContent.h"
#include "tests/e2e/PtyHarness.h"

namespace q31::test {
namespace {

using sim::ArchiveField;
using sim::ArchiveRing;

std::vector<std::string> g_progress;
void Q31_CALL OnProgress(const char* text) { g_progress.emplace_back(text); }

struct Read90 {
    std::uint32_t address;
    std::uint8_t bytes;
    std::uint8_t size;
};

class ArchiveLine : public PtyHarness {
protected:
    void OpenMeter(std::uint16_t version, std::uint32_t hours, std::uint32_t days, bool echo = false) {
        sim::MeterConfig config;
        config.versionWord = version;
        config.hourCount = hours;
        config.dayCount = days;
        config.archiveFirstWord = 0xC0DE0001;
        Open(echo, config);
        version_ = version;
    }
    SDevIdent Dev() {
        SDevIdent d = Ident();
        d.IdWord2 = version_;
        return d;
    }
    // The 0x90 packets the meter was asked, in order.
    std::vector<Read90> Reads() {
        std::vector<Read90> out;
        const auto entries = meter->WithModel([](sim::MeterModel& m) { return m.Log().Entries(); });
        for (const auto& e : entries)
            if (e.bytes.size() == 12 && e.bytes[2] == 0x90)
                out.push_back({static_cast<std::uint32_t>(e.bytes[3] | e.bytes[4] << 8 | e.bytes[5] << 16 |
                                                          static_cast<std::uint32_t>(e.bytes[6]) << 24),
                               e.bytes[7], e.bytes[8]});
        return out;
    }
    // Every delivered value against the record it must come from.
    void ExpectRecords(ArchiveRing ring, ArchiveField field, int module, std::uint32_t oldest, std::uint32_t count) {
        const bool wide = sim::ArchiveFieldBytes(field) == 8;
        ASSERT_EQ(g_host.count & 0xFFFF, count);
        ASSERT_EQ(wide ? g_host.values64.size() : g_host.values32.size(), count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t want = sim::ArchiveFieldValue(ring, field, module, oldest + i);
            if (wide) ASSERT_EQ(static_cast<std::uint64_t>(g_host.values64[i]), want) << "value " << i;
            else
                ASSERT_EQ(static_cast<std::uint32_t>(g_host.values32[i]), static_cast<std::uint32_t>(want))
                    << "value " << i;
        }
    }
    std::uint16_t version_ = sim::kDefaultVersionWord;
};

TEST_F(ArchiveLine, CountersReachTheHostUnchanged) {
    OpenMeter(0x00F0, 0x80000001u, 123456, true);
    SDevIdent dev = Dev();
    ASSERT_EQ(::GetArhiveCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "counters;");
    EXPECT_EQ(std::uint32_t{g_host.counters.FirstWord}, 0xC0DE0001u);
    EXPECT_EQ(std::uint32_t{g_host.counters.HourCount}, 0x80000001u);
    EXPECT_EQ(std::uint32_t{g_host.counters.DayCount}, 123456u);
    // The identification and the 12 counter bytes at flash 10496 (0x2900).
    EXPECT_EQ(Packets(), (std::vector<std::vector<std::uint8_t>>{
                             {0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01},
                             {0xC9, 0x06, 0x31, 0x00, 0x29, 0x00, 0x00, 0x0C, 0xF0, 0x25, 0x02}}));
}

TEST_F(ArchiveLine, WholeHourlyRingComesOldestFirstAcrossItsEnd) {
    OpenMeter(0x00F0, 2000, 600);
    SDevIdent dev = Dev();
    ASSERT_EQ(::GetArhiveT_Hour(&dev, 1, 0), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "t_hour;");
    ExpectRecords(ArchiveRing::Hours, ArchiveField::T, 1, 920, 1080);
    EXPECT_EQ(g_host.pointer, PluginForm().Values32);
    const auto reads = Reads();
    ASSERT_EQ(reads.size(), 27u) << "40 values a packet";
    EXPECT_EQ(reads.front().address, 12544u + 220 + 920 * 256);
    EXPECT_EQ(reads[4].address, 12544u + 220) << "the ring's first slot after the 160 values to its end";
    EXPECT_TRUE(std::all_of(reads.begin(), reads.end(), [](const Read90& r) { return r.size == 4 && r.bytes == 160; }));
}

TEST_F(ArchiveLine, DailyEnergyOfModuleSixIsTheFieldAtSixtyEight) {
    OpenMeter(0x00EF, 100, 600);
    SDevIdent dev = Dev();
    ASSERT_EQ(::GetArhiveE_Day(&dev, 6, 0), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "e_day;");
    ExpectRecords(ArchiveRing::Days, ArchiveField::E, 6, 50, 550);
    const auto reads = Reads();
    ASSERT_EQ(reads.size(), 25u + 3u) << "500 values to the ring's end and 50 from its start, 20 a packet";
    const std::uint32_t field = 300432 + 68;
    EXPECT_EQ(reads.front().address, field + 50 * 264);
    for (const Read90& r : reads) {
        EXPECT_EQ((r.address - field) % 264, 0u);
        EXPECT_EQ(r.size, 8);
    }
    EXPECT_EQ(reads[25].address, field);
}

class ArchiveLayouts : public ArchiveLine, public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(ArchiveLayouts, HourlyFlowOfModuleTwoFollowsTheVersionWord) {
    const bool large = GetParam() < 0x00F0;
    const std::uint32_t ring = large ? 12672 : 12544;
    const std::uint32_t step = large ? 264 : 256;
    OpenMeter(GetParam(), 1500, 600);
    SDevIdent dev = Dev();
    ASSERT_EQ(::GetArhiveU_Hour(&dev, 2, 1400), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "u_hour;");
    ExpectRecords(ArchiveRing::Hours, ArchiveField::U, 2, 1400, 100);
    EXPECT_EQ(g_host.pointer, PluginForm().Values64);
    const auto reads = Reads();
    ASSERT_EQ(reads.size(), 10u) << "ten 8-byte hourly values a packet";
    for (std::size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].address, ring + 84 + (320 + 10 * i) * step) << i;
        EXPECT_EQ(reads[i].bytes, 80);
        EXPECT_EQ(reads[i].size, 8);
    }
}

INSTANTIATE_TEST_SUITE_P(VersionWord, ArchiveLayouts, ::testing::Values(std::uint16_t{0x00EF}, std::uint16_t{0x00F0}));

TEST_F(ArchiveLine, EverySeriesReadsItsFieldAndCallsItsCallback) {
    OpenMeter(0x00F0, 3000, 1200);
    SDevIdent dev = Dev();
    struct Series {
        std::uint8_t (*start)(const SDevIdent*, std::uint32_t, std::uint32_t);
        ArchiveRing ring;
        ArchiveField field;
        const char* callback;
    };
    const Series all[] = {
        {&::GetArhiveTime_Hour, ArchiveRing::Hours, ArchiveField::Time, kTimeHour},
        {&::GetArhiveStop_Hour, ArchiveRing::Hours, ArchiveField::Stop, kStopHour},
        {&::GetArhiveT_Hour, ArchiveRing::Hours, ArchiveField::T, kTHour},
        {&::GetArhiveU_Hour, ArchiveRing::Hours, ArchiveField::U, kUHour},
        {&::GetArhiveM_Hour, ArchiveRing::Hours, ArchiveField::M, kMHour},
        {&::GetArhiveE_Hour, ArchiveRing::Hours, ArchiveField::E, kEHour},
        {&::GetArhiveTime_Day, ArchiveRing::Days, ArchiveField::Time, kTimeDay},
        {&::GetArhiveStop_Day, ArchiveRing::Days, ArchiveField::Stop, kStopDay},
        {&::GetArhiveT_Day, ArchiveRing::Days, ArchiveField::T, kTDay},
        {&::GetArhiveU_Day, ArchiveRing::Days, ArchiveField::U, kUDay},
        {&::GetArhiveM_Day, ArchiveRing::Days, ArchiveField::M, kMDay},
        {&::GetArhiveE_Day, ArchiveRing::Days, ArchiveField::E, kEDay},
    };
    int module = 1;
    for (const Series& s : all) {
        SCOPED_TRACE(s.callback);
        g_host = {};
        module = module % 6 + 1;
        const std::uint32_t counter = s.ring == ArchiveRing::Hours ? 3000 : 1200;
        ASSERT_EQ(s.start(&dev, static_cast<std::uint32_t>(module), counter - 3), 0);
        ASSERT_TRUE(WaitCalls(1));
        EXPECT_EQ(g_host.calls, std::string(s.callback) + ";");
        ExpectRecords(s.ring, s.field, module, counter - 3, 3);
    }
}

TEST_F(ArchiveLine, StartAtTheCounterDeliversNothingAndBeyondItOnlyTheMessage) {
    OpenMeter(0x00F0, 500, 600);
    SDevIdent dev = Dev();
    ASSERT_EQ(::GetArhiveT_Hour(&dev, 1, 500), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "t_hour;");
    EXPECT_EQ(g_host.count, 0u);
    EXPECT_TRUE(Reads().empty());

    g_host.calls.clear();
    ASSERT_EQ(::GetArhiveT_Hour(&dev, 1, 501), 0);
    ASSERT_TRUE(WaitCalls(1));
    ASSERT_TRUE(FollowWithGetID());
    EXPECT_EQ(g_host.calls, "message;id;") << "and no callback";
    EXPECT_EQ(g_host.message, "Невозможно обработать запрос!");
    EXPECT_EQ(g_host.caption, "Ошибка!");
    EXPECT_TRUE(Reads().empty());

    // The daily series compare with the daily counter.
    g_host.calls.clear();
    ASSERT_EQ(::GetArhiveTime_Day(&dev, 1, 600), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "time_day;");
}

TEST_F(ArchiveLine, RefusedSeriesSendNothingButKeepTheirArguments) {
    OpenMeter(0x00F0, 500, 600);
    SDevIdent dev = Dev();
    SDevIdent other = dev;
    other.DevType = 5121;
    EXPECT_EQ(::GetArhiveT_Hour(&dev, 7, 11), 3);
    EXPECT_EQ(::GetArhiveTime_Hour(&dev, 0, 12), 3) << "Time checks the module too";
    EXPECT_EQ(::GetArhiveE_Day(&dev, 0x106, 599), 0) << "only the low byte of the module counts";
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "e_day;");
    ExpectRecords(ArchiveRing::Days, ArchiveField::E, 6, 599, 1);
    EXPECT_EQ(::GetArhiveU_Day(&other, 1, 0), 2);
    EXPECT_EQ(::GetArhiveCount(&other), 2);
    ASSERT_TRUE(FollowWithGetID());
    EXPECT_EQ(g_host.calls, "e_day;id;") << "the refused calls sent nothing and delivered nothing";
    EXPECT_EQ(Packets().size(), 3u + 1u) << "the E series' three packets, then the identification";

    // A refused call still stores its module and start: the request in
    // flight then reads that module from that start.
    g_host = {};
    ASSERT_EQ(::GetArhiveT_Hour(&dev, 2, 400), 0);
    EXPECT_EQ(::GetArhiveT_Hour(&other, 3, 497), 2);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "t_hour;");
    ExpectRecords(ArchiveRing::Hours, ArchiveField::T, 3, 497, 3);
    g_host = {};
    ASSERT_EQ(::GetArhiveTime_Hour(&dev, 1, 100), 0);
    EXPECT_EQ(::GetArhiveTime_Hour(&dev, 0, 498), 3) << "refused for its module, yet its start is kept";
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "time_hour;");
    ExpectRecords(ArchiveRing::Hours, ArchiveField::Time, 1, 498, 2);
}

TEST_F(ArchiveLine, ProgressTextCountsDownEachStretch) {
    OpenMeter(0x00F0, 2000, 600);
    g_progress.clear();
    ::SetProgressHandler(&OnProgress);
    SDevIdent dev = Dev();
    ASSERT_EQ(::GetArhiveStop_Hour(&dev, 3, 0), 0);
    ASSERT_TRUE(WaitCalls(1));
    ::SetProgressHandler(nullptr);
    // 160 values to the ring's end, then 920 from its start, 40 a packet.
    std::vector<std::string> want = {"120", "80", "40"};
    for (int left = 920; left > 0; left -= 40) want.push_back(std::to_string(left));
    EXPECT_EQ(g_progress, want);
    ExpectRecords(ArchiveRing::Hours, ArchiveField::Stop, 3, 920, 1080);

    g_progress.clear();
    ASSERT_EQ(::GetArhiveTime_Hour(&dev, 1, 1900), 0);
    ASSERT_TRUE(WaitCalls(2));
    EXPECT_TRUE(g_progress.empty()) << "no handler, no text";
}

// The component's other array reads, against the same virtual meter: the
// plain rings of the first layout, read as flash bytes and with 0x90.
int g_count = -1;
template <typename T>
void OnArray(int count, T*) {
    g_count = count;
}

TEST_F(ArchiveLine, ComponentReadsThePlainRingsOfTheMeter) {
    OpenMeter(0x00F0, 2500, 700);
    SDevIdent dev = Dev();
    // The counters request sets the line up and leaves the counters in the component.
    ASSERT_EQ(::GetArhiveCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    TPublicNetKs_6x6& c = PluginForm().PublicNetKs_6x61;
    c.OnArhivesDayLong = TPublicNetKs_6x6::ArrayEvent<std::int32_t>::BindFree<&OnArray<std::int32_t>>();
    c.OnArhivesHourShort = TPublicNetKs_6x6::ArrayEvent<std::int16_t>::BindFree<&OnArray<std::int16_t>>();
    c.OnArhivesV2HourShort = TPublicNetKs_6x6::ArrayEvent<std::int16_t>::BindFree<&OnArray<std::int16_t>>();
    auto run = [&](auto start) {
        g_count = -1;
        start();
        PumpMessagesUntil([&] { return g_count >= 0; }, 3000);
        return g_count;
    };
    auto plain = [&](sim::PlainSeries series, int module, std::uint32_t oldest, const auto* values, int count) {
        const std::uint64_t mask = sim::PlainValueBytes(series) == 2 ? 0xFFFF : 0xFFFFFFFF;
        for (int i = 0; i < count; ++i) {
            const auto got = static_cast<std::uint64_t>(values[i]) & mask;
            ASSERT_EQ(got, sim::PlainValue(series, module, oldest + static_cast<std::uint32_t>(i))) << i;
        }
    };
    using sim::PlainSeries;
    ASSERT_EQ(run([&] { c.GetArrayDayLong(sim::PlainRingAddress(PlainSeries::DayLong, 6), 300, 0); }), 400);
    plain(PlainSeries::DayLong, 6, 300, c.LongBuffer, 400);
    ASSERT_EQ(run([&] { c.GetArrayHourShort(sim::PlainRingAddress(PlainSeries::HourShort, 1), 2000, 0); }), 500);
    plain(PlainSeries::HourShort, 1, 2000, c.ShortBuffer, 500);
    ASSERT_EQ(run([&] { c.GetArrayHourShortV2(sim::PlainRingAddress(PlainSeries::HourShortV2, 3), 2400, 0, 256); }),
              100);
    plain(PlainSeries::HourShortV2, 3, 2400, c.ShortBuffer, 100);
}

}  // namespace
}  // namespace q31::test
