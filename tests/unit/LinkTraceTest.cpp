// The line trace: a scripted meter answers with one fault after another and
// the trace must tell each of them, in order, with its reason and counts.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "support/HostPort.h"
#include "support/Pty.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

struct TraceLog {
    std::vector<TQ31TraceEvent> events;
    std::vector<Bytes> bytes;
    std::vector<std::thread::id> threads;
    void Event(const TQ31TraceEvent& e) {
        events.push_back(e);
        bytes.emplace_back(e.bytes, e.bytes + e.length);
        threads.push_back(std::this_thread::get_id());
    }
    // One letter group per event: the kind, then its reason or count.
    std::string Line(std::size_t from = 0) const {
        std::string out;
        for (std::size_t i = from; i < events.size(); ++i) {
            const TQ31TraceEvent& e = events[i];
            switch (e.kind) {
                case Q31_TRACE_REQUEST_START: out += "start "; break;
                case Q31_TRACE_WRITE: out += "write" + std::to_string(e.length) + " "; break;
                case Q31_TRACE_READ: out += "read" + std::to_string(e.length) + " "; break;
                case Q31_TRACE_ACCEPTED: out += "accepted "; break;
                case Q31_TRACE_REJECTED: {
                    static const char* const kReasons[] = {"?",     "checksum",    "address",     "length",  "short",
                                                           "empty", "unconfirmed", "wronglength", "followed"};
                    out += std::string("rejected:") + kReasons[e.reason] + " ";
                    break;
                }
                case Q31_TRACE_TIMEOUT: out += "timeout "; break;
                case Q31_TRACE_RESEND: out += "resend" + std::to_string(e.count) + " "; break;
                case Q31_TRACE_PORT_ERROR:
                    out += std::string(e.reason == Q31_PORT_WRITE ? "writeerror" : "readerror") + " ";
                    break;
                case Q31_TRACE_REQUEST_END:
                    out += "end" + std::to_string(e.reason) + "/" + std::to_string(e.count) + " ";
                    break;
                case Q31_TRACE_DISCARDED: out += "discarded" + std::to_string(e.length) + " "; break;
                default: out += "? "; break;
            }
        }
        return out;
    }
    std::size_t CountOf(int kind) const {
        std::size_t n = 0;
        for (const auto& e : events) n += e.kind == kind;
        return n;
    }
};

// ReadRAM(0x0100, 2) from master 240 to slave 201, and its good reply 11 22.
const Bytes kRead = {0xC9, 0x04, 0x10, 0x00, 0x01, 0x02, 0xF0, 0xD0, 0x01};
const Bytes kGood = {0xF0, 0x02, 0x11, 0x22, 0x55, 0x7A, 0x01};

class LinkTrace : public ::testing::Test {
protected:
    void SetUp() override {
        h.link.OnTrace = TPublicNetKs::TraceEvent::Bind<&TraceLog::Event>(&log);
        h.link.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&LinkTrace::Executed>(this);
    }
    void Executed(short, char*) { ++executed; }
    Bytes AfterSendDelay() {
        h.Advance(10);
        return h.end.Queued();
    }
    bool PumpUntilEvents(std::size_t n) {
        return h.PumpUntil([&] { return log.events.size() >= n; });
    }

    LinkHarness h;
    TraceLog log;
    int executed = 0;
};

TEST_F(LinkTrace, EveryFaultShowsInOrderWithItsReasonAndCount) {
    h.link.SetTimeOut(100);  // a short reply ends with its read, 100 ms on
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    EXPECT_EQ(log.Line(), "start ");
    EXPECT_EQ(log.bytes[0], kRead) << "the packet armed";

    // 1. A bad checksum.
    ASSERT_EQ(AfterSendDelay(), kRead);
    Bytes bad = kGood;
    bad[6] ^= 0x01;
    h.end.Send(bad);
    ASSERT_TRUE(h.PumpUntil([&] { return log.CountOf(Q31_TRACE_RESEND) == 1; }));
    EXPECT_EQ(log.Line(), "start write9 read2 read5 rejected:checksum resend1 ");
    EXPECT_EQ(log.bytes[1], kRead) << "the bytes written";
    EXPECT_EQ(log.bytes[2], (Bytes{0xF0, 0x02}));
    EXPECT_EQ(log.bytes[3], (Bytes{0x11, 0x22, 0x55, 0x7A, 0x00}));

    // 2. Another address: both reads are passed over, then the time-out,
    // which counts the re-send before it, and after the send delay the
    // re-send. (The re-send after the bad reply waited only for its tail.)
    std::size_t mark = log.events.size();
    h.Advance(100);
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.end.Send({0x11, 0x02, 0x11, 0x22, 0x55, 0x9B, 0x00});
    ASSERT_TRUE(h.PumpUntil([&] { return log.CountOf(Q31_TRACE_REJECTED) == 3; }));
    h.Advance(100);
    // The three bytes of the frame no read took are read off, not thrown away.
    EXPECT_EQ(log.Line(mark),
              "write9 read2 rejected:address read2 rejected:address timeout resend2 discarded3 write9 ");
    EXPECT_EQ(log.events[mark + 5].count, 1) << "the time-out of the first re-send";

    // 3. A count over 252.
    mark = log.events.size();
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.end.Send({0xF0, 0xFD});
    ASSERT_TRUE(h.PumpUntil([&] { return log.CountOf(Q31_TRACE_RESEND) == 3; }));
    EXPECT_EQ(log.Line(mark), "read2 rejected:length resend3 ");

    // 4. A reply cut short: the body read ends with what came.
    mark = log.events.size();
    PortPurgeInput(h.end.host);
    h.Advance(100);
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.end.Send({0xF0, 0x02, 0x11});
    ASSERT_TRUE(h.PumpUntil([&] { return log.CountOf(Q31_TRACE_RESEND) == 4; }));
    EXPECT_EQ(log.Line(mark), "write9 read2 read1 rejected:short resend4 ");

    // 5. The good reply ends the request.
    // The packet timed out once, so its reply counts only when no other
    // frame follows it closely.
    mark = log.events.size();
    h.Advance(100);
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.end.Send(kGood);
    for (int i = 0; i < 20 && log.CountOf(Q31_TRACE_REQUEST_END) == 0; ++i) {
        h.PumpUntil([&] { return log.CountOf(Q31_TRACE_REQUEST_END) == 1; }, 50);
        h.Advance(5);
    }
    ASSERT_EQ(log.CountOf(Q31_TRACE_REQUEST_END), 1u);
    EXPECT_EQ(log.Line(mark), "write9 read2 read5 accepted end0/4 ");
    EXPECT_EQ(executed, 1);
    EXPECT_EQ(log.bytes.back().size(), 0u);
    EXPECT_EQ(log.bytes[log.bytes.size() - 2], kGood) << "the accepted reply";

    // Times come from the loop's clock and never go back; the time-out shows
    // its full length after the write before it.
    for (std::size_t i = 1; i < log.events.size(); ++i) EXPECT_GE(log.events[i].time_us, log.events[i - 1].time_us);
    for (std::size_t i = 1; i < log.events.size(); ++i)
        if (log.events[i].kind == Q31_TRACE_TIMEOUT) {
            std::size_t w = i;
            while (log.events[w].kind != Q31_TRACE_WRITE) --w;
            EXPECT_EQ(log.events[i].time_us - log.events[w].time_us, 100000);
        }
    // Every event came on the thread that pumps the loop, none from the reader.
    for (const auto& id : log.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(LinkTrace, NoResendIsToldWhenTheOwnerArmsAnotherPacketInstead) {
    struct Rearm {
        TPublicNetKs* link = nullptr;
        void Repetition(int) { EXPECT_TRUE(link->ReadRAM(0x0200, 2)); }
    } rearm{&h.link};
    h.link.OnRepetition = Delegate<void(int)>::Bind<&Rearm::Repetition>(&rearm);
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.Advance(500);
    h.Advance(10);
    EXPECT_EQ(log.CountOf(Q31_TRACE_TIMEOUT), 1u);
    EXPECT_EQ(log.CountOf(Q31_TRACE_RESEND), 0u) << "the packet did not go out again";
    EXPECT_EQ(log.CountOf(Q31_TRACE_REQUEST_START), 2u);
}

TEST_F(LinkTrace, AbandonedRequestLateAnswerAndTheQuietWaitShow) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kRead);
    const std::uint8_t value = 0x5A;
    ASSERT_TRUE(h.link.WriteRAM(0x0200, 1, &value));  // a write waits for quiet
    EXPECT_EQ(log.Line(), "start write9 end2/0 start ");
    h.Advance(10);
    h.end.Send(kGood);  // the first packet's answer, now unwanted
    ASSERT_TRUE(h.PumpUntil([&] { return log.CountOf(Q31_TRACE_DISCARDED) == kGood.size(); }));
    h.Advance(1000);
    EXPECT_EQ(log.Line(4), "discarded1 discarded1 discarded1 discarded1 discarded1 discarded1 discarded1 write10 ");
}

TEST_F(LinkTrace, UnpluggedAdapterShowsAsPortErrors) {
    // A pseudo-terminal whose other side is gone fails as a USB adapter
    // pulled out of its socket does.
    PtyPair pty;
    ASSERT_TRUE(PtyOpen(pty));
    const PortHandle port = OpenHostPort(pty.slavePath.c_str(), 9600);
    ASSERT_TRUE(PortUsable(port));
    PtyClose(pty);
    h.channel.ComHandle = port;
    h.link.SetTimeOut(100);
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    h.Advance(10);
    ASSERT_TRUE(h.PumpUntil([&] { return log.CountOf(Q31_TRACE_PORT_ERROR) >= 2; }));
    CloseHostPort(port);
    ASSERT_GE(log.events.size(), 3u);
    EXPECT_EQ(log.events[1].kind, Q31_TRACE_PORT_ERROR);
    EXPECT_EQ(log.events[1].reason, Q31_PORT_WRITE);
    EXPECT_EQ(log.events[1].os_error, EIO);
    EXPECT_EQ(log.events[2].kind, Q31_TRACE_PORT_ERROR);
    EXPECT_EQ(log.events[2].reason, Q31_PORT_READ);
    EXPECT_NE(log.events[2].os_error, 0);
    EXPECT_EQ(log.CountOf(Q31_TRACE_WRITE), 0u);
}

TEST_F(LinkTrace, NoHandlerNoEventsAndConfirmationMismatchIsTold) {
    h.link.OnTrace = nullptr;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.end.Send(kGood);
    ASSERT_TRUE(h.PumpUntil([&] { return executed == 1; }));
    EXPECT_TRUE(log.events.empty());

    h.link.OnTrace = TPublicNetKs::TraceEvent::Bind<&TraceLog::Event>(&log);
    h.link.ReadConfirmation = ConfirmMode::Always;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.end.Send(kGood);
    ASSERT_TRUE(PumpUntilEvents(4));
    ASSERT_EQ(AfterSendDelay(), kRead);
    h.end.Send({0xF0, 0x02, 0x12, 0x21, 0x55, 0x7A, 0x01});  // the same sum, other data
    ASSERT_TRUE(h.PumpUntil([&] { return log.CountOf(Q31_TRACE_REJECTED) == 1; }));
    EXPECT_EQ(log.Line(), "start write9 read2 read5 write9 read2 read5 rejected:unconfirmed ");
}

}  // namespace
}  // namespace q31::test
