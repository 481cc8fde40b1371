// What a host sees of the line through SetTraceHandler, and what confirmed
// reads cost it, against the virtual meter.
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/PtyHarness.h"

namespace q31::test {
namespace {

struct HostTrace {
    std::vector<TQ31TraceEvent> events;
    std::vector<std::vector<std::uint8_t>> bytes;
    std::vector<std::thread::id> threads;
    void* user = nullptr;
};

void Q31_CALL OnTraceEvent(const TQ31TraceEvent* event, void* user) {
    auto* trace = static_cast<HostTrace*>(user);
    trace->user = user;
    trace->events.push_back(*event);
    trace->bytes.emplace_back(event->bytes, event->bytes + event->length);
    trace->threads.push_back(std::this_thread::get_id());
}

class LineTrace : public PtyHarness, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override {
        ::SetTraceHandler(nullptr, nullptr);
        ::SetReadConfirmation(0);
        PtyHarness::TearDown();
    }
    std::string Kinds() const {
        std::string out;
        for (const auto& e : trace.events) out += std::to_string(e.kind) + " ";
        return out;
    }
    HostTrace trace;
};

TEST_P(LineTrace, IdentificationShowsPacketEchoReplyAndEnd) {
    const bool echo = GetParam();
    Open(echo);
    ::SetTraceHandler(&OnTraceEvent, &trace);
    ASSERT_EQ(::GetID(), 0);
    ASSERT_TRUE(WaitCalls(1));
    const std::vector<std::uint8_t> packet = {0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01};
    // start, write, [echo read], reply read, accepted; the end follows once
    // the accepted reply's event has run.
    const std::string expected = echo ? "1 2 3 3 4 9 " : "1 2 3 4 9 ";
    EXPECT_EQ(Kinds(), expected);
    ASSERT_GE(trace.bytes.size(), 3u);
    EXPECT_EQ(trace.bytes[0], packet);
    EXPECT_EQ(trace.bytes[1], packet);
    if (echo) {
        EXPECT_EQ(trace.bytes[2], packet) << "the line's echo";
    }
    EXPECT_EQ(trace.bytes[echo ? 3 : 2].size(), 19u);
    EXPECT_EQ(trace.events.back().reason, Q31_END_ACCEPTED);
    EXPECT_EQ(trace.user, &trace) << "the host's context comes back";
    for (const auto& id : trace.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_P(LineTrace, ConfirmedReadsAskTwiceAndDeliverTheSame) {
    Open(GetParam());
    ::SetReadConfirmation(1);
    SDevIdent dev = Ident();
    ASSERT_EQ(::GetModuleCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "count;");
    const auto expected = meter->WithModel([](sim::MeterModel& m) { return m.Ram()[0xFE00 + 35]; });
    EXPECT_EQ(g_host.moduleCount, expected);
    EXPECT_EQ(Requests(), 8u) << "identification and three block reads, each sent twice";
    // Old hosts passed any value but 0 to switch it on; only 2 means auto,
    // which on this clean line would read each packet once.
    ::SetReadConfirmation(3);
    ASSERT_EQ(::GetModuleCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(2));
    EXPECT_EQ(Requests(), 16u) << "3 confirms every read";
    ::SetReadConfirmation(0);
    ASSERT_EQ(::GetModuleCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(3));
    EXPECT_EQ(Requests(), 20u) << "off again: each once";
}

INSTANTIATE_TEST_SUITE_P(Echo, LineTrace, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LineEchoes" : "NoEcho"; });

TEST_F(PtyHarness, SlotTimeOutOfZeroStillGetsTheReply) {
    Open(false);
    TQ31Slot slot = HostSlot(port, false, 0);
    ::InitSlot(&slot);
    ASSERT_EQ(::GetID(), 0);
    ASSERT_TRUE(WaitCalls(1)) << "a reply that arrives is read and accepted";
    EXPECT_EQ(g_host.calls, "id;");
    EXPECT_EQ(g_host.ident.SerialNumber, sim::kDefaultSerialNumber);
}

}  // namespace
}  // namespace q31::test
