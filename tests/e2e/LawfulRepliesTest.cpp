// Replies the meter family may send that are not the plain answer to what
// was asked, through the slot exports: each must be taken, and deliver the
// values the meter holds.
#include <cstring>

#include "sim/ArchiveContent.h"
#include "tests/e2e/LawfulAnswers.h"
#include "tests/e2e/PtyHarness.h"

namespace q31::test {
namespace {

class LawfulReplies : public PtyHarness {
protected:
};

TEST_F(LawfulReplies, IdentificationIsTakenWhateverItsLengthByte) {
    Open(true);  // the echo of the request comes first; the session test has a line without one
    std::uint8_t modules = 0;
    meter->WithModel([&](sim::MeterModel& m) { modules = m.Ram()[0xFE00 + 35]; });
    SDevIdent dev = Ident();
    for (const auto& frame : lawful::kIdentifications) {
        SCOPED_TRACE(static_cast<int>(frame[1]));
        meter->WithModel([&](sim::MeterModel& m) { lawful::AnswerIdentificationWith(m, frame); });
        g_host.ident = {};
        Run("id", [] { return ::GetID(); });
        EXPECT_EQ(g_host.ident.DevType, 0x1400);
        EXPECT_EQ(g_host.ident.IdWord2, 0x00E7);
        EXPECT_EQ(g_host.ident.SerialNumber, 310001u);
        EXPECT_EQ(g_host.ident.IdWord12, 0x1234);
        // A request goes on from the identification to its own read.
        Run("count", [&] { return ::GetModuleCount(&dev); });
        EXPECT_EQ(g_host.moduleCount, modules);
    }
    EXPECT_EQ(Requests(), 4u * 5u) << "no packet sent twice";
}

TEST_F(LawfulReplies, ShortArchiveReadsDeliverTheirValuesAndGoOnFromTheNext) {
    sim::MeterConfig config;
    config.hourCount = 1000;  // records 0..999 each in its own slot
    Open(false, config);
    // Hourly T of module 2 lies at 12544 + 224 + 256 r. The first read gets
    // seven values, the one from record 947 a single value.
    constexpr std::uint32_t field = 12544 + 224;
    meter->WithModel([&](sim::MeterModel& m) {
        lawful::CutArchiveReads(m, config, {{field + 900 * 256, 28}, {field + 947 * 256, 4}});
    });
    SDevIdent dev = Ident();
    dev.IdWord2 = 0x00F0;  // the version word the layout of the records follows
    Run("t_hour", [&] { return ::GetArhiveT_Hour(&dev, 2, 900); });
    ASSERT_EQ(g_host.count & 0xFFFF, 100u);
    ASSERT_EQ(g_host.values32.size(), 100u);
    for (std::uint32_t i = 0; i < 100; ++i)
        ASSERT_EQ(static_cast<std::uint32_t>(g_host.values32[i]),
                  sim::ArchiveFieldValue(sim::ArchiveRing::Hours, sim::ArchiveField::T, 2, 900 + i))
            << "value " << i;
    const auto reads = meter->WithModel([](sim::MeterModel& m) { return lawful::ArchiveReadAddresses(m); });
    EXPECT_EQ(reads, (std::vector<std::uint32_t>{field + 900 * 256, field + 907 * 256, field + 947 * 256,
                                                 field + 948 * 256, field + 988 * 256}));
    EXPECT_EQ(Requests(), 2u + 5u) << "the identification, the counters, and no read sent twice";
}

TEST_F(LawfulReplies, ShortArchiveReadBeforeTheRingEndGoesOnToTheEndThenFromTheStart) {
    Open(false);
    // Daily E of module 2 lies at 300544 + 36 + 256 s; with 600 records in
    // 550 slots the oldest, 50, is in slot 50 and 550..599 in slots 0..49.
    // The read of slots 530..549 gets two values.
    constexpr std::uint32_t field = 300544 + 36;
    meter->WithModel([&](sim::MeterModel& m) {
        lawful::CutArchiveReads(m, sim::MeterConfig{}, {{field + 530 * 256, 16}});
    });
    SDevIdent dev = Ident();
    dev.IdWord2 = 0x00F0;
    Run("e_day", [&] { return ::GetArhiveE_Day(&dev, 2, 0); });
    ASSERT_EQ(g_host.count & 0xFFFF, 550u);
    ASSERT_EQ(g_host.values64.size(), 550u);
    for (std::uint32_t i = 0; i < 550; ++i)
        ASSERT_EQ(static_cast<std::uint64_t>(g_host.values64[i]),
                  sim::ArchiveFieldValue(sim::ArchiveRing::Days, sim::ArchiveField::E, 2, 50 + i))
            << "value " << i;
    const auto reads = meter->WithModel([](sim::MeterModel& m) { return lawful::ArchiveReadAddresses(m); });
    ASSERT_EQ(reads.size(), 25u + 4u);
    EXPECT_EQ(reads[24], field + 530 * 256);
    EXPECT_EQ(reads[25], field + 532 * 256) << "the rest up to the ring's end";
    EXPECT_EQ(reads[26], field);
    EXPECT_EQ(reads[28], field + 40 * 256);
}

TEST_F(LawfulReplies, LongThirdModuleBlockPartGivesTheBlockItsOwnBytes) {
    Open(true);
    std::uint8_t block[392];
    meter->WithModel([&](sim::MeterModel& m) {
        std::memcpy(block, &m.Ram()[0xFE00], sizeof block);
        lawful::LengthenThirdBlockPart(m);
    });
    SDevIdent dev = Ident();
    // Modules 4 and 6 lie wholly in the third part, 6 at its end.
    for (int module : {4, 6}) {
        SCOPED_TRACE(module);
        Run("module", [&] { return ::GetModuleRecord(&dev, static_cast<std::uint32_t>(module)); });
        const std::uint8_t* entry = block + 52 + 50 * (module - 1);
        EXPECT_EQ(std::memcmp(&g_host.module.Word0, entry, 2), 0);
        EXPECT_EQ(std::memcmp(g_host.module.Values, entry + 18, 24), 0);
    }
    EXPECT_EQ(Requests(), 2u * 4u) << "no part asked twice";
}

TEST_F(LawfulReplies, FourRecordEditHalfKeepsTheOtherFourAndTheSecondHalfFollows) {
    Open(false);
    SDevIdent dev = Ident();
    // The log as it stood is read whole first: records 4-7 keep it.
    Run(kEditDataModule, [&] { return ::GetEditDataModule(&dev, 3); });
    meter->WithModel([](sim::MeterModel& m) {
        lawful::RewriteEditLog(m, 3);
        lawful::ShortenFirstEditHalf(m, 3);
    });
    const std::uint64_t before = Requests();
    Run(kEditDataModule, [&] { return ::GetEditDataModule(&dev, 3); });
    EXPECT_EQ(g_host.count, 16u);
    EXPECT_EQ(g_host.records, lawful::EditBlockAfterShortHalf(3));
    ASSERT_TRUE(FollowWithGetID());
    EXPECT_EQ(g_host.calls, std::string(kEditDataModule) + ";id;") << "one event, after the second half";
    const auto packets = Packets();
    ASSERT_EQ(packets.size(), before + 4u);
    const auto address = [](const std::vector<std::uint8_t>& p) { return sim::GetU32(&p[3]); };
    EXPECT_EQ(address(packets[before + 1]), 476248u + 16 + 576);
    EXPECT_EQ(address(packets[before + 2]), 476248u + 16 + 576 + 144);
}

}  // namespace
}  // namespace q31::test
