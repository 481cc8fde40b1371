// Replies the meter family may send that are not the plain answer to what
// was asked, through a session, with reads confirmed and not: each must be
// taken, and deliver the values the meter holds.
#include <cstring>

#include "sim/ArchiveContent.h"
#include "tests/e2e/LawfulAnswers.h"
#include "tests/session/SessionHarness.h"

namespace q31::test {
namespace {

class SessionLawfulReplies : public ::testing::TestWithParam<std::uint8_t> {
protected:
    void Open(std::uint32_t hours = 2000) {
        ASSERT_TRUE(line.Open(Config(310001, 31, 6, hours)));
        q31_options o = Options(300, 3);
        o.confirm = GetParam();
        session.reset(q31_session_open(line.port, &o));
        ASSERT_NE(session, nullptr);
    }
    // Starts one request and waits for its callback, which must report success.
    template <typename Start>
    void Run(Outcome& o, Start start) {
        ASSERT_EQ(start(), Q31_OK);
        ASSERT_TRUE(PumpUntil([&] { return o.calls > 0; }));
        EXPECT_EQ(o.calls, 1);
        EXPECT_EQ(o.result.status, Q31_OK);
    }
    template <typename F>
    decltype(auto) WithModel(F&& f) {
        return line.meter->WithModel(std::forward<F>(f));
    }
    Line line;
    SessionPtr session;
};

TEST_P(SessionLawfulReplies, IdentificationIsTakenWhateverItsLengthByte) {
    Open();
    std::uint8_t modules = 0;
    WithModel([&](sim::MeterModel& m) { modules = m.Ram()[0xFE00 + 35]; });
    const SDevIdent dev = line.Ident();
    for (const auto& frame : lawful::kIdentifications) {
        SCOPED_TRACE(static_cast<int>(frame[1]));
        WithModel([&](sim::MeterModel& m) { lawful::AnswerIdentificationWith(m, frame); });
        Outcome id;
        Run(id, [&] { return q31_get_id(session.get(), &OnRecord<SDevIdent>, &id); });
        ASSERT_EQ(id.data.size(), sizeof(SDevIdent));
        SDevIdent got;
        std::memcpy(&got, id.data.data(), sizeof got);
        EXPECT_EQ(got.DevType, 0x1400);
        EXPECT_EQ(got.IdWord2, 0x00E7);
        EXPECT_EQ(got.SerialNumber, 310001u);
        EXPECT_EQ(got.IdWord12, 0x1234);
        // A request goes on from the identification to its own read.
        Outcome count;
        Run(count, [&] { return q31_get_module_count(session.get(), &dev, &OnCount, &count); });
        EXPECT_EQ(count.count, modules);
        EXPECT_EQ(count.result.found_serial, 310001u);
    }
}

TEST_P(SessionLawfulReplies, ShortArchiveReadsDeliverTheirValuesAndGoOnFromTheNext) {
    Open(1000);  // records 0..999 each in its own slot
    // Hourly T of module 2 lies at 12544 + 224 + 256 r. The first read gets
    // seven values, the one from record 947 a single value.
    constexpr std::uint32_t field = 12544 + 224;
    WithModel([&](sim::MeterModel& m) {
        lawful::CutArchiveReads(m, line.config, {{field + 900 * 256, 28}, {field + 947 * 256, 4}});
    });
    const SDevIdent dev = line.Ident();
    Outcome series;
    Run(series,
        [&] { return q31_get_archive_series(session.get(), &dev, Q31_SERIES_T_HOUR, 2, 900, &OnSeries, &series); });
    ASSERT_EQ(series.count, 100u);
    ASSERT_EQ(series.size, 4u);
    for (std::uint32_t i = 0; i < 100; ++i)
        ASSERT_EQ(sim::GetU32(&series.data[4 * i]),
                  sim::ArchiveFieldValue(sim::ArchiveRing::Hours, sim::ArchiveField::T, 2, 900 + i))
            << "value " << i;
    const auto reads = WithModel([](sim::MeterModel& m) { return lawful::ArchiveReadAddresses(m); });
    EXPECT_EQ(reads, (std::vector<std::uint32_t>{field + 900 * 256, field + 907 * 256, field + 947 * 256,
                                                 field + 948 * 256, field + 988 * 256}));
}

TEST_P(SessionLawfulReplies, LongThirdModuleBlockPartGivesTheBlockItsOwnBytes) {
    Open();
    std::uint8_t block[392];
    WithModel([&](sim::MeterModel& m) {
        std::memcpy(block, &m.Ram()[0xFE00], sizeof block);
        lawful::LengthenThirdBlockPart(m);
    });
    const SDevIdent dev = line.Ident();
    // Modules 4 and 6 lie wholly in the third part, 6 at its end.
    for (std::uint32_t module : {4u, 6u}) {
        SCOPED_TRACE(module);
        Outcome record;
        Run(record,
            [&] { return q31_get_module_record(session.get(), &dev, module, &OnRecord<SModuleRecord>, &record); });
        ASSERT_EQ(record.data.size(), sizeof(SModuleRecord));
        const std::uint8_t* entry = block + 52 + 50 * (module - 1);
        EXPECT_EQ(std::memcmp(&record.data[offsetof(SModuleRecord, Word0)], entry, 2), 0);
        EXPECT_EQ(std::memcmp(&record.data[offsetof(SModuleRecord, Values)], entry + 18, 24), 0);
    }
}

TEST_P(SessionLawfulReplies, FourRecordEditHalfKeepsTheOtherFourAndTheSecondHalfFollows) {
    Open();
    const SDevIdent dev = line.Ident();
    // The log as it stood is read whole first: records 4-7 keep it.
    Outcome first;
    Run(first, [&] { return q31_get_edit_block_module(session.get(), &dev, 3, &OnRecords, &first); });
    WithModel([](sim::MeterModel& m) {
        lawful::RewriteEditLog(m, 3);
        lawful::ShortenFirstEditHalf(m, 3);
    });
    Outcome edit;
    Run(edit, [&] { return q31_get_edit_block_module(session.get(), &dev, 3, &OnRecords, &edit); });
    EXPECT_EQ(edit.count, 16u);
    EXPECT_EQ(edit.size, 16u);
    EXPECT_EQ(edit.data, lawful::EditBlockAfterShortHalf(3));
    // Each read asked for both halves, a packet sent again counted once.
    std::vector<std::uint32_t> halves;
    for (const auto& e : WithModel([](sim::MeterModel& m) { return m.Log().Entries(); })) {
        if (e.bytes.size() != 11 || e.bytes[2] != 0x31) continue;
        if (halves.empty() || halves.back() != sim::GetU32(&e.bytes[3])) halves.push_back(sim::GetU32(&e.bytes[3]));
    }
    constexpr std::uint32_t log3 = 476248 + 16 + 576;
    EXPECT_EQ(halves, (std::vector<std::uint32_t>{log3, log3 + 144, log3, log3 + 144}));
}

INSTANTIATE_TEST_SUITE_P(Confirm, SessionLawfulReplies,
                         ::testing::Values(std::uint8_t{Q31_CONFIRM_OFF}, std::uint8_t{Q31_CONFIRM_ALWAYS}),
                         [](const auto& info) { return info.param == Q31_CONFIRM_OFF ? "AsTheyCome" : "Confirmed"; });

}  // namespace
}  // namespace q31::test
