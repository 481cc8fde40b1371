// Replies that come after the time-out, on a real line: the first answer to
// a packet is late, so the packet goes out again, and the answer to the
// second send may be late too and still on its way when the next packet is
// due. Every record delivered must still be the meter's own.
//
// Q31_LATE_CYCLES sets the number of request cycles per echo mode (default
// 24); the figures in docs/link.md come from a run with 2000.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "sim/ArchiveContent.h"
#include "tests/e2e/PtyHarness.h"

namespace q31::test {
namespace {

constexpr int kTimeOutMs = 60;

// With Q31_LATE_DEBUG set, the line trace of every cycle that went wrong is
// printed, one event a line: time in ms, kind, reason, count, bytes.
std::string g_trace;
void Q31_CALL DebugTrace(const TQ31TraceEvent* e, void*) {
    char line[64];
    std::snprintf(line, sizeof line, "%lld k%d r%d c%d:", static_cast<long long>(e->time_us / 1000), e->kind, e->reason,
                  e->count);
    g_trace += line;
    for (int i = 0; i < e->length && i < 12; ++i) {
        std::snprintf(line, sizeof line, " %02X", e->bytes[i]);
        g_trace += line;
    }
    g_trace += "\n";
}

int Cycles() {
    const char* text = std::getenv("Q31_LATE_CYCLES");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 24;
}

class LateReplies : public PtyHarness, public ::testing::WithParamInterface<bool> {
protected:
    void OpenLine() {
        sim::MeterConfig config;
        config.hourCount = 2000;
        config.dayCount = 600;
        Open(GetParam(), config);
        TQ31Slot slot = HostSlot(port, GetParam(), kTimeOutMs);
        ::InitSlot(&slot);
    }
    std::vector<std::uint8_t> Ram(std::uint16_t address, std::size_t n) {
        return meter->WithModel([&](sim::MeterModel& m) {
            return std::vector<std::uint8_t>(m.Ram().begin() + address, m.Ram().begin() + address + n);
        });
    }
    std::uint16_t PointerWord(int word) {
        return meter->WithModel(
            [&](sim::MeterModel& m) { return m.Memory().ReadU16(sim::MemoryArea::Flash, 16 + 2 * word); });
    }
    // Makes the answer to packet `index` (1 = the request's first) late, and
    // perhaps the answer to its second send as well.
    void LateAnswerTo(int index, std::mt19937& random) {
        const std::uint64_t first = Requests() + static_cast<std::uint64_t>(index);
        std::uniform_int_distribution<int> late(1, 40);
        meter->WithModel([&](sim::MeterModel& m) {
            m.InjectAt(first, {sim::FaultKind::Delay, kTimeOutMs + late(random)});
            if (random() % 2) m.InjectAt(first + 1, {sim::FaultKind::Delay, kTimeOutMs + late(random)});
        });
    }
    static std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, &b[at], 4);
        return v;
    }
};

TEST_P(LateReplies, NoRecordComesFromAnotherPacket) {
    OpenLine();
    std::mt19937 random(GetParam() ? 77 : 78);
    SDevIdent dev = Ident();
    dev.IdWord2 = sim::kDefaultVersionWord;
    const std::uint8_t moduleCount = Ram(0xFE00 + 35, 1)[0];
    int wrong = 0, delivered = 0;
    const bool debug = std::getenv("Q31_LATE_DEBUG") != nullptr;
    if (debug) ::SetTraceHandler(&DebugTrace, nullptr);
    const int cycles = Cycles();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        g_host.calls.clear();
        const int kind = cycle % 4;
        // Packets per request: identification, then 3, 1 + 1, 2 or 3 reads.
        static constexpr int kPackets[4] = {4, 3, 3, 3};
        LateAnswerTo(1 + static_cast<int>(random() % kPackets[kind]), random);
        const int wrongBefore = wrong;
        g_trace.clear();
        switch (kind) {
            case 0: {
                ASSERT_EQ(::GetModuleCount(&dev), 0);
                ASSERT_TRUE(WaitCalls(1, 10000)) << "cycle " << cycle;
                ++delivered;
                wrong += (g_host.moduleCount & 0xFF) != moduleCount;
                break;
            }
            case 1: {
                const std::vector<std::uint8_t> last = Ram(PointerWord(6), 152);
                ASSERT_EQ(::GetCurrentData(&dev), 0);
                ASSERT_TRUE(WaitCalls(1, 10000)) << "cycle " << cycle;
                const std::size_t groups[4] = {0, 56, 80, 104};
                bool ok = true;
                for (int g = 0; g < 4; ++g)
                    for (int i = 0; i < 6; ++i) ok = ok && g_host.current.Groups[g][i] == U32(last, groups[g] + 4 * i);
                ++delivered;
                wrong += !ok;
                break;
            }
            default: {
                // The newest 80 (or 120) hourly T values of module 1 or 2: two or three packets.
                const int module = 1 + cycle % 2;
                const std::uint32_t values = kind == 2 ? 80 : 120;
                ASSERT_EQ(::GetArhiveT_Hour(&dev, module, 2000 - values), 0);
                ASSERT_TRUE(WaitCalls(1, 10000)) << "cycle " << cycle;
                bool ok = (g_host.count & 0xFFFF) == values && g_host.values32.size() == values;
                for (std::uint32_t i = 0; ok && i < values; ++i)
                    ok = static_cast<std::uint32_t>(g_host.values32[i]) ==
                         static_cast<std::uint32_t>(sim::ArchiveFieldValue(
                             sim::ArchiveRing::Hours, sim::ArchiveField::T, module, 2000 - values + i));
                ++delivered;
                wrong += !ok;
                break;
            }
        }
        if (wrong != wrongBefore && debug) std::printf("cycle %d kind %d wrong\n%s", cycle, kind, g_trace.c_str());
    }
    ::SetTraceHandler(nullptr, nullptr);
    std::printf("late replies, %s: %d requests delivered, %d wrong\n", GetParam() ? "echo" : "no echo", delivered,
                wrong);
    EXPECT_EQ(delivered, cycles);
    EXPECT_EQ(wrong, 0);
}

TEST_P(LateReplies, FullRingReadWithEachPacketLateInTurn) {
    // The whole hourly ring of T values of module 1: the identification, the
    // counters and 27 archive packets. Each packet's answer in turn comes
    // after the time-out, on odd turns the answer to its second send too.
    OpenLine();
    SDevIdent dev = Ident();
    dev.IdWord2 = sim::kDefaultVersionWord;
    constexpr int kPacketsPerRead = 29;
    std::mt19937 random(GetParam() ? 5 : 6);
    int wrongSeries = 0;
    for (int late = 1; late <= kPacketsPerRead; ++late) {
        g_host.calls.clear();
        const std::uint64_t first = Requests() + static_cast<std::uint64_t>(late);
        meter->WithModel([&](sim::MeterModel& m) {
            m.InjectAt(first, {sim::FaultKind::Delay, kTimeOutMs + 1 + static_cast<int>(random() % 40)});
            if (late % 2)
                m.InjectAt(first + 1, {sim::FaultKind::Delay, kTimeOutMs + 1 + static_cast<int>(random() % 40)});
        });
        ASSERT_EQ(::GetArhiveT_Hour(&dev, 1, 0), 0);
        ASSERT_TRUE(WaitCalls(1, 20000)) << "packet " << late << " late";
        bool ok = (g_host.count & 0xFFFF) == 1080 && g_host.values32.size() == 1080;
        for (std::uint32_t i = 0; ok && i < 1080; ++i)
            ok = static_cast<std::uint32_t>(g_host.values32[i]) ==
                 static_cast<std::uint32_t>(
                     sim::ArchiveFieldValue(sim::ArchiveRing::Hours, sim::ArchiveField::T, 1, 920 + i));
        wrongSeries += !ok;
    }
    std::printf("full rings, %s: %d reads, %d wrong series\n", GetParam() ? "echo" : "no echo", kPacketsPerRead,
                wrongSeries);
    EXPECT_EQ(wrongSeries, 0);
}

INSTANTIATE_TEST_SUITE_P(Echo, LateReplies, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LineEchoes" : "NoEcho"; });

}  // namespace
}  // namespace q31::test
