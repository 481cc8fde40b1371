// The virtual meter's archive: counters, the record rings of both layouts
// behind command 0x90, the plain rings in flash, and command 0x91.
#include <gtest/gtest.h>

#include <vector>

#include "sim/ArchiveContent.h"
#include "sim/LogContent.h"
#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"
#include "sim/SimOptions.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Payload(const MeterReply& r) {
    if (r.bytes.size() < 5 || r.bytes.size() != r.bytes[1] + 5u) return {};
    return Bytes(r.bytes.begin() + 2, r.bytes.begin() + 2 + r.bytes[1]);
}

Bytes Read90(MeterModel& m, std::uint32_t address, std::uint8_t count, std::uint8_t size) {
    Bytes data(6);
    PutU32(data.data(), address);
    data[4] = count;
    data[5] = size;
    return Payload(m.Handle(BuildRequest(kDefaultMeterAddress, 0x90, data)));
}

std::uint64_t Value(const Bytes& b, std::size_t at, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v |= std::uint64_t{b.at(at + i)} << (8 * i);
    return v;
}

TEST(ArchiveContent, SlotsHoldTheNewestRecordWrittenToThem) {
    std::uint32_t r = 0;
    EXPECT_FALSE(RecordInSlot(0, 1080, 0, r));
    EXPECT_FALSE(RecordInSlot(100, 1080, 100, r)) << "not reached yet";
    ASSERT_TRUE(RecordInSlot(100, 1080, 99, r));
    EXPECT_EQ(r, 99u);
    ASSERT_TRUE(RecordInSlot(2000, 1080, 919, r));
    EXPECT_EQ(r, 1999u);
    ASSERT_TRUE(RecordInSlot(2000, 1080, 920, r));
    EXPECT_EQ(r, 920u);
    ASSERT_TRUE(RecordInSlot(0xFFFFFFFFu, 550, 0, r));
    EXPECT_EQ(r % 550, 0u);
    EXPECT_GT(r, 0xFFFFFFFFu - 551);
}

class RecordRings : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(RecordRings, Command90StepsByTheRecordSizeOfTheMetersLayout) {
    MeterConfig config;
    config.versionWord = GetParam();
    config.dayCount = 300;  // not yet round
    MeterModel m(config);
    const ArchiveLayout layout = ArchiveLayoutFor(GetParam());
    EXPECT_EQ(layout.recordSize, GetParam() < 0x00F0 ? 264u : 256u);
    EXPECT_EQ(layout.hourRing, GetParam() < 0x00F0 ? 12672u : 12544u);
    EXPECT_EQ(layout.dayRing, GetParam() < 0x00F0 ? 300432u : 300544u);

    // Every field of one daily record, and a slot not written yet.
    for (ArchiveField f :
         {ArchiveField::Time, ArchiveField::Stop, ArchiveField::E, ArchiveField::U, ArchiveField::M, ArchiveField::T}) {
        for (int module = 1; module <= 6; ++module) {
            const std::uint32_t size = ArchiveFieldBytes(f);
            const std::uint32_t at = layout.dayRing + ArchiveFieldOffset(f, module);
            const Bytes b = Read90(m, at + 299 * layout.recordSize, static_cast<std::uint8_t>(2 * size),
                                   static_cast<std::uint8_t>(size));
            ASSERT_EQ(b.size(), 2 * size);
            EXPECT_EQ(Value(b, 0, size), ArchiveFieldValue(ArchiveRing::Days, f, module, 299));
            EXPECT_EQ(Value(b, size, size), size == 8 ? ~0ull : 0xFFFFFFFFull) << "slot 300 is erased";
        }
    }
    EXPECT_EQ(ArchiveFieldOffset(ArchiveField::E, 6), 68u);
    EXPECT_EQ(ArchiveFieldOffset(ArchiveField::T, 1), 220u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RecordRings, ::testing::Values(std::uint16_t{0x00EF}, std::uint16_t{0x00F0}));

TEST(ArchiveContent, ValuesTellTheirRecordSeriesAndModuleApart) {
    const std::uint64_t t = ArchiveFieldValue(ArchiveRing::Hours, ArchiveField::T, 3, 1234);
    EXPECT_NE(t, ArchiveFieldValue(ArchiveRing::Hours, ArchiveField::T, 3, 1235));
    EXPECT_NE(t, ArchiveFieldValue(ArchiveRing::Hours, ArchiveField::T, 4, 1234));
    EXPECT_NE(t, ArchiveFieldValue(ArchiveRing::Days, ArchiveField::T, 3, 1234));
    EXPECT_NE(t, ArchiveFieldValue(ArchiveRing::Hours, ArchiveField::Stop, 3, 1234));
    EXPECT_LE(t, 0xFFFFFFFFull);
    EXPECT_GT(ArchiveFieldValue(ArchiveRing::Hours, ArchiveField::E, 1, 0), 0xFFFFFFFFull) << "all eight bytes used";
    EXPECT_EQ(ArchiveFieldValue(ArchiveRing::Days, ArchiveField::Time, 1, 9),
              ArchiveFieldValue(ArchiveRing::Days, ArchiveField::Time, 5, 9))
        << "one time per record";
}

TEST(ArchiveContent, NewCountersRewriteThePlainRingsAndNothingElse) {
    MeterModel m;
    const Bytes before(m.Flash().begin(), m.Flash().end());
    SetArchiveCounters(m, 0xA1B2C3D4, 3 * 1080 + 5, 551);
    EXPECT_EQ(m.Memory().ReadU32(MemoryArea::Flash, kArchiveCountersAddress), 0xA1B2C3D4u);
    EXPECT_EQ(m.Memory().ReadU32(MemoryArea::Flash, kArchiveCountersAddress + 4), 3u * 1080 + 5);
    EXPECT_EQ(m.Memory().ReadU32(MemoryArea::Flash, kArchiveCountersAddress + 8), 551u);
    // Day slot 0 now holds record 550, slot 1 still 1 of the first round.
    const std::uint32_t day = PlainRingAddress(PlainSeries::DayLong, 6);
    EXPECT_EQ(m.Memory().ReadU32(MemoryArea::Flash, day), PlainValue(PlainSeries::DayLong, 6, 550));
    EXPECT_EQ(m.Memory().ReadU32(MemoryArea::Flash, day + 4), PlainValue(PlainSeries::DayLong, 6, 1));

    std::vector<bool> mine(before.size(), false);
    for (std::uint32_t a = 0; a < 12; ++a) mine[kArchiveCountersAddress + a] = true;
    for (PlainSeries s : {PlainSeries::HourLong, PlainSeries::DayLong, PlainSeries::HourShort, PlainSeries::DayShort,
                          PlainSeries::HourShortV2})
        for (int module = 1; module <= 6; ++module) {
            const std::uint32_t slots = PlainRing(s) == ArchiveRing::Hours ? kHourSlots : kDaySlots;
            for (std::uint32_t a = 0; a < slots * PlainValueBytes(s); ++a) mine[PlainRingAddress(s, module) + a] = true;
        }
    std::size_t changedElsewhere = 0;
    for (std::size_t a = 0; a < before.size(); ++a) changedElsewhere += !mine[a] && before[a] != m.Flash()[a];
    EXPECT_EQ(changedElsewhere, 0u) << "logs, totals, pointers and the rest stay as they were";
    EXPECT_LE(PlainRingAddress(PlainSeries::HourShortV2, 6) + 2160, kErrorLogAddress);
}

TEST(ArchiveContent, OutsideTheRecordRings0x90ReadsConsecutiveValues) {
    MeterConfig config;
    config.hourCount = 1100;
    MeterModel m(config);
    const std::uint32_t ring = PlainRingAddress(PlainSeries::HourShortV2, 3);
    const Bytes b = Read90(m, ring + 2 * 1000, 160, 2);
    ASSERT_EQ(b.size(), 160u);
    for (std::uint32_t k = 0; k < 80; ++k) {
        std::uint32_t record = 0;
        ASSERT_TRUE(RecordInSlot(1100, kHourSlots, 1000 + k, record));
        EXPECT_EQ(Value(b, 2 * k, 2), PlainValue(PlainSeries::HourShortV2, 3, record)) << k;
    }
}

TEST(ArchiveContent, MalformedArchivePacketsAreIgnoredAnd0x91Answers) {
    MeterModel m;
    EXPECT_TRUE(m.Handle(BuildRequest(kDefaultMeterAddress, 0x90, Bytes{0, 0x31, 0, 0, 8})).bytes.empty());
    EXPECT_TRUE(m.Handle(BuildRequest(kDefaultMeterAddress, 0x90, Bytes{0, 0x31, 0, 0, 8, 0})).bytes.empty())
        << "a value size of 0";
    EXPECT_EQ(Read90(m, 12544, 255, 4).size(), kMaxReplyPayload) << "never more than the master takes";
    const Bytes args{0xAB, 0x44, 0x33, 0x22, 0x11, 0x66, 0x55};
    EXPECT_EQ(Payload(m.Handle(BuildRequest(kDefaultMeterAddress, 0x91, args))), args);
    EXPECT_TRUE(m.Handle(BuildRequest(kDefaultMeterAddress, 0x91, Bytes{1, 2})).bytes.empty());
}

TEST(ArchiveContent, CountersComeFromTheCommandLine) {
    const char* argv[] = {"q31-sim", "--hour-count", "4321", "--day-count", "0x300", "--archive-first-word", "7"};
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(7, argv, options, error)) << error;
    EXPECT_EQ(options.meter.hourCount, 4321u);
    EXPECT_EQ(options.meter.dayCount, 0x300u);
    EXPECT_EQ(options.meter.archiveFirstWord, 7u);
    const char* bad[] = {"q31-sim", "--hour-count", "4294967296"};
    EXPECT_FALSE(ParseSimOptions(3, bad, options, error));
}

}  // namespace
}  // namespace q31::sim
