// Several sessions at once, each on its own virtual meter: interleaved
// requests reach the right meter and carry that meter's content, and a
// meter that stays silent holds up only its own session.
#include <algorithm>

#include "sim/ArchiveContent.h"
#include "sim/LogContent.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"
#include "tests/session/SessionHarness.h"

namespace q31::test {
namespace {

using sim::MemoryArea;

// The meter's content as its own model holds it, made afresh from its
// configuration: never what the library delivered.
class Content {
public:
    explicit Content(const sim::MeterConfig& config) : model_(config) {}
    // A RAM record that word `word` of the pointer record at flash 16 names.
    std::vector<std::uint8_t> Pointed(int word, std::size_t bytes) const {
        const std::uint16_t at = model_.Memory().ReadU16(MemoryArea::Flash, 16 + 2 * word);
        return model_.Memory().Read(MemoryArea::Ram, at, bytes);
    }
    std::uint8_t RamByte(std::uint32_t address) const { return model_.Memory().Read(MemoryArea::Ram, address, 1)[0]; }

private:
    sim::MeterModel model_;
};

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) { return sim::GetU32(&b[at]); }
std::uint64_t U64(const std::vector<std::uint8_t>& b, std::size_t at) {
    return U32(b, at) | (std::uint64_t{U32(b, at + 4)} << 32);
}

void ExpectCurrent(const Outcome& o, const Content& meter) {
    ASSERT_EQ(o.result.status, Q31_OK);
    ASSERT_EQ(o.data.size(), sizeof(SCurrentData));
    const auto last = meter.Pointed(6, 152);
    const std::size_t groups[4] = {0, 56, 80, 104};
    for (int g = 0; g < 4; ++g)
        for (int i = 0; i < 6; ++i) EXPECT_EQ(U32(o.data, 24 * g + 4 * i), U32(last, groups[g] + 4 * i)) << g << i;
}

void ExpectAccumulated(const Outcome& o, const Content& meter) {
    ASSERT_EQ(o.result.status, Q31_OK);
    ASSERT_EQ(o.data.size(), sizeof(SAccumulatedData));
    const auto totals = meter.Pointed(10, 248);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(U32(o.data, 4 * i), U32(totals, 4 * i)) << i;
    for (std::size_t at = 24; at < 168; at += 8) EXPECT_EQ(U64(o.data, at), U64(totals, at)) << at;
}

void ExpectSeries(const Outcome& o, int module, std::uint32_t start, std::uint32_t newest) {
    ASSERT_EQ(o.result.status, Q31_OK);
    ASSERT_EQ(o.size, 8u);
    ASSERT_EQ(o.count, newest - start);
    for (std::uint32_t i = 0; i < o.count; ++i)
        EXPECT_EQ(U64(o.data, 8 * i),
                  sim::ArchiveFieldValue(sim::ArchiveRing::Hours, sim::ArchiveField::U, module, start + i))
            << "record " << start + i;
}

class ManySessions : public ::testing::Test {
protected:
    void SetUp() override {
        // Three meters that differ in everything a reply carries.
        ASSERT_TRUE(lines[0].Open(Config(310001, 31, 6, 2000)));
        ASSERT_TRUE(lines[1].Open(Config(420002, 77, 4, 1500)));
        ASSERT_TRUE(lines[2].Open(Config(530003, 5, 5, 1100), /*echo=*/true));
        for (int i = 0; i < 3; ++i) {
            const q31_options o = Options(300, 3, i == 2);
            sessions[i].reset(q31_session_open(lines[i].port, &o));
            ASSERT_NE(sessions[i], nullptr);
        }
    }
    bool AllCalled(std::initializer_list<const Outcome*> outcomes) {
        return PumpUntil([&] {
            return std::all_of(outcomes.begin(), outcomes.end(), [](const Outcome* o) { return o->calls > 0; });
        });
    }

    Line lines[3];
    SessionPtr sessions[3];
};

TEST_F(ManySessions, InterleavedRequestsEachGetTheirOwnMetersContent) {
    q31_session* a = sessions[0].get();
    q31_session* b = sessions[1].get();
    q31_session* c = sessions[2].get();
    const SDevIdent da = lines[0].Ident(), db = lines[1].Ident(), dc = lines[2].Ident();
    const Content ca(lines[0].config), cb(lines[1].config), cc(lines[2].config);

    // The same request on all three at once.
    Outcome current[3];
    ASSERT_EQ(q31_get_current_data(a, &da, &OnRecord<SCurrentData>, &current[0]), Q31_OK);
    ASSERT_EQ(q31_get_current_data(b, &db, &OnRecord<SCurrentData>, &current[1]), Q31_OK);
    ASSERT_EQ(q31_get_current_data(c, &dc, &OnRecord<SCurrentData>, &current[2]), Q31_OK);
    ASSERT_TRUE(AllCalled({&current[0], &current[1], &current[2]}));
    ExpectCurrent(current[0], ca);
    ExpectCurrent(current[1], cb);
    ExpectCurrent(current[2], cc);
    EXPECT_NE(current[0].data, current[1].data) << "the meters' contents differ";

    // Different requests side by side, each chaining its next from its callback.
    Outcome count, series, accumulated, record, edit;
    count.then = [&] { EXPECT_EQ(q31_get_module_record(a, &da, 3, &OnRecord<SModuleRecord>, &record), Q31_OK); };
    accumulated.then = [&] { EXPECT_EQ(q31_get_edit_head_module(c, &dc, 7, &OnWords, &edit), Q31_OK); };
    ASSERT_EQ(q31_get_module_count(a, &da, &OnCount, &count), Q31_OK);
    ASSERT_EQ(q31_get_archive_series(b, &db, Q31_SERIES_U_HOUR, 2, 1470, &OnSeries, &series), Q31_OK);
    ASSERT_EQ(q31_get_accumulated_data(c, &dc, &OnRecord<SAccumulatedData>, &accumulated), Q31_OK);
    ASSERT_TRUE(AllCalled({&count, &series, &accumulated, &record, &edit}));

    EXPECT_EQ(count.result.status, Q31_OK);
    EXPECT_EQ(count.count, 6u);
    EXPECT_EQ(count.count, ca.RamByte(0xFE00 + 35));
    ExpectSeries(series, 2, 1470, 1500);
    ExpectAccumulated(accumulated, cc);
    // Module 3's entry in meter A's module block (entries of 50 bytes from byte 52).
    ASSERT_EQ(record.result.status, Q31_OK);
    const std::uint32_t entry = 0xFE00 + 52 + 50 * 2;
    EXPECT_EQ(record.data[0], ca.RamByte(entry));
    EXPECT_EQ(record.data[1], ca.RamByte(entry + 1));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(record.data[2 + i], std::uint8_t(ca.RamByte(entry + 12 + i) + 1)) << i;
    for (int i = 0; i < 24; ++i) EXPECT_EQ(record.data[8 + i], ca.RamByte(entry + 18 + i)) << i;
    ASSERT_EQ(edit.result.status, Q31_OK);
    EXPECT_EQ(edit.count, 1u);
    EXPECT_EQ(edit.data,
              (std::vector<std::uint8_t>{std::uint8_t(sim::EditHeadWord(6)), std::uint8_t(sim::EditHeadWord(6) >> 8)}));

    // Every result names the meter it came from.
    EXPECT_EQ(count.result.found_serial, 310001u);
    EXPECT_EQ(series.result.found_serial, 420002u);
    EXPECT_EQ(accumulated.result.found_serial, 530003u);
}

TEST_F(ManySessions, SilentMeterHoldsUpOnlyItsOwnSession) {
    // Meter C is switched off; its session gives up after 300 ms and two re-sends.
    lines[2].meter->Stop();
    sessions[2].reset();
    const q31_options silentOptions = Options(300, 2);
    SessionPtr silent(q31_session_open(lines[2].port, &silentOptions));
    ASSERT_NE(silent, nullptr);
    const double silentBudgetMs = 3 * (300 + 10);

    const SDevIdent dc = lines[2].Ident(), da = lines[0].Ident(), db = lines[1].Ident();
    Outcome silentResult;
    // Meanwhile meters A and B answer four requests each, one after the other.
    constexpr int kEach = 4;
    Outcome a[kEach], b[kEach];
    for (int i = 0; i + 1 < kEach; ++i) {
        a[i].then = [&, i] { q31_get_current_data(sessions[0].get(), &da, &OnRecord<SCurrentData>, &a[i + 1]); };
        b[i].then = [&, i] { q31_get_module_count(sessions[1].get(), &db, &OnCount, &b[i + 1]); };
    }
    int answeredBeforeSilentEnded = -1;
    silentResult.then = [&] {
        answeredBeforeSilentEnded = 0;
        for (int i = 0; i < kEach; ++i) answeredBeforeSilentEnded += a[i].calls + b[i].calls;
    };
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(q31_get_module_count(silent.get(), &dc, &OnCount, &silentResult), Q31_OK);
    ASSERT_EQ(q31_get_current_data(sessions[0].get(), &da, &OnRecord<SCurrentData>, &a[0]), Q31_OK);
    ASSERT_EQ(q31_get_module_count(sessions[1].get(), &db, &OnCount, &b[0]), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return silentResult.calls > 0 && a[kEach - 1].calls > 0 && b[kEach - 1].calls > 0; }));

    EXPECT_EQ(silentResult.result.status, Q31_NO_ANSWER);
    EXPECT_EQ(answeredBeforeSilentEnded, 2 * kEach) << "every answer came while the silent meter was still being asked";
    const auto lastAnswer = std::max(a[kEach - 1].at, b[kEach - 1].at);
    const double answeringMs = std::chrono::duration<double, std::milli>(lastAnswer - t0).count();
    EXPECT_LT(answeringMs, silentBudgetMs);
    const Content ca(lines[0].config);
    for (const Outcome& o : a) ExpectCurrent(o, ca);
    for (const Outcome& o : b) EXPECT_EQ(o.count, 4u);
}

}  // namespace
}  // namespace q31::test
