// The link on a bad line: answers that come late, replies that cannot be
// told from good ones by their checksum, settings and handles that used to
// leave a request hanging. Packets and replies are written out by hand.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "support/HostPort.h"
#include "support/Pty.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

// ReadRAM(0x0100, 2) and ReadRAM(0x0200, 2) from master 240 to slave 201.
const Bytes kReadA = {0xC9, 0x04, 0x10, 0x00, 0x01, 0x02, 0xF0, 0xD0, 0x01};
const Bytes kReadB = {0xC9, 0x04, 0x10, 0x00, 0x02, 0x02, 0xF0, 0xD1, 0x01};
// ReadFlash(0x0100, 2) and ReadFlash(0x0200, 2): flash the meter does not
// change, so a late answer to one is known by the bytes it took.
const Bytes kFlashA = {0xC9, 0x04, 0x30, 0x00, 0x01, 0x02, 0xF0, 0xF0, 0x01};
const Bytes kFlashB = {0xC9, 0x04, 0x30, 0x00, 0x02, 0x02, 0xF0, 0xF1, 0x01};
// Replies [F0][02][d0 d1][55][sum]: 11 22, 33 44 and AA BB.
const Bytes kReply1122 = {0xF0, 0x02, 0x11, 0x22, 0x55, 0x7A, 0x01};
const Bytes kReply3344 = {0xF0, 0x02, 0x33, 0x44, 0x55, 0xBE, 0x01};
const Bytes kReplyAABB = {0xF0, 0x02, 0xAA, 0xBB, 0x55, 0xAC, 0x02};
// WriteRAM(0x0200, 1, {5A}) and its acknowledgement: a write is never
// confirmed, so it waits for the line to fall quiet where a read would not.
const Bytes kWriteB = {0xC9, 0x05, 0x20, 0x00, 0x02, 0x01, 0x5A, 0xF0, 0x3B, 0x02};
const Bytes kAck = {0x06};

struct Events {
    std::string log;
    Bytes payload;
    void Executed(short length, char* buffer) {
        log += "exec(" + std::to_string(length) + ")";
        payload.assign(buffer, buffer + length);
    }
    void FalseCrc(TComponent*) { log += "crc"; }
    void Repetition(int n) { log += "rep(" + std::to_string(n) + ")"; }
    void TimeOut(TComponent*) { log += "timeout"; }
    void Ident(SIDDevice* d) { log += "id(" + std::to_string(d->SerialNumber) + ")"; }
};

class LinkRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        h.link.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&Events::Executed>(&ev);
        h.link.OnFalseCRC = TPublicNetKs::SenderEvent::Bind<&Events::FalseCrc>(&ev);
        h.link.OnRepetition = Delegate<void(int)>::Bind<&Events::Repetition>(&ev);
        h.link.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&Events::TimeOut>(&ev);
        h.link.OnReceivedIDDevice = Delegate<void(SIDDevice*)>::Bind<&Events::Ident>(&ev);
    }
    // The send delay passes; what went out is queued on the meter's end.
    Bytes AfterSendDelay() {
        h.Advance(10);
        return h.end.Queued();
    }
    bool PumpUntilLogHas(const std::string& text) {
        return h.PumpUntil([&] { return ev.log.find(text) != std::string::npos; });
    }
    // Pumps until the library has read everything sent to it.
    bool PumpUntilTaken() {
        return h.PumpUntil([&] { return h.end.UnreadByLibrary() == 0; });
    }
    void WriteB() {
        static const std::uint8_t value = 0x5A;
        ASSERT_TRUE(h.link.WriteRAM(0x0200, 1, &value));
    }

    LinkHarness h;
    Events ev;
};

// On this socket pair the port has no line speed: a character counts as
// 1 ms, so a frame's tail is quiet after 10 + 4 ms.
TEST_F(LinkRecovery, LateAnswerToAResendIsDiscardedNotCreditedToTheNextPacket) {
    // A's first answer comes after the time-out, so A goes out twice; the
    // first answer is taken for the second send (the same question), and the
    // answer to the second send may still be on its way when B is due.
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);  // t = 10
    h.Advance(500);
    EXPECT_EQ(ev.log, "") << "the read goes on through the send delay";
    ASSERT_EQ(AfterSendDelay(), kReadA);  // t = 520
    EXPECT_EQ(ev.log, "rep(1)");
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_EQ(ev.log, "rep(1)") << "held while the line shows whether another frame follows";
    h.Advance(20);
    EXPECT_EQ(ev.log, "rep(1)exec(2)");
    EXPECT_EQ(ev.payload, (Bytes{0x11, 0x22}));
    EXPECT_TRUE(h.link.LineUnsettled());

    ev.log.clear();
    EXPECT_EQ(h.link.QuietTime(), 1000) << "two time-outs";
    WriteB();
    EXPECT_TRUE(AfterSendDelay().empty()) << "B waits until A's answers are too late to come";
    h.Advance(800);
    h.end.Send(kReplyAABB);  // the second answer to A, later than a time-out
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(160);  // t = 1510: two time-outs after A's answer was taken are not over
    EXPECT_TRUE(h.end.Queued().empty());
    h.Advance(800);  // t = 2310: and a late answer starts the quiet time again
    EXPECT_TRUE(h.end.Queued().empty());
    h.Advance(60);
    EXPECT_EQ(h.end.Queued(), kWriteB);
    h.end.Send(kAck);
    ASSERT_TRUE(PumpUntilLogHas("exec"));
    EXPECT_FALSE(h.link.LineUnsettled());
    EXPECT_EQ(ev.log, "exec(1)");
    EXPECT_EQ(ev.payload, kAck) << "B's own answer, not A's late one";
}

TEST_F(LinkRecovery, AReplyFollowedByAnotherFrameAfterATimeOutIsNotTaken) {
    // A meter busy with A answers its two sends back to back: which frame
    // answers which is unknown, so neither counts; both are read off and A
    // goes again once the line is quiet.
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.Advance(500);
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    h.end.Send(kReplyAABB);
    ASSERT_TRUE(PumpUntilLogHas("rep(2)"));
    EXPECT_EQ(ev.log, "rep(1)rep(2)") << "nothing delivered";
    h.Advance(20);
    ASSERT_EQ(h.end.Queued(), kReadA);
    h.end.Send(kReply3344);
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(20);
    EXPECT_EQ(ev.log, "rep(1)rep(2)exec(2)");
    EXPECT_EQ(ev.payload, (Bytes{0x33, 0x44}));
}

TEST_F(LinkRecovery, AnAnswerCompletingInTheSendDelayAfterTheTimeOutIsTaken) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(Bytes(kReply1122.begin(), kReply1122.begin() + 2));
    ASSERT_TRUE(h.PumpUntil([&] { return h.link.ReceiveStage == 2; }));
    h.Advance(500);  // the time-out: the header is in, the body is not
    h.end.Send(Bytes(kReply1122.begin() + 2, kReply1122.end()));
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(20);
    EXPECT_EQ(ev.log, "exec(2)") << "no re-send";
    EXPECT_TRUE(h.end.Queued().empty());

    // Nothing at all before the time-out, and a read that runs out empty in
    // the send delay after it: the line is read again, and an answer that
    // comes then is still taken.
    ev.log.clear();
    h.link.SetTimeOut(60);  // a read gives up after 120 ms of real time
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.Advance(60);
    const unsigned reads = h.channel.ReadsDone;
    ASSERT_TRUE(h.PumpUntil([&] { return h.channel.ReadsDone > reads; }));
    h.end.Send(kReply3344);
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(20);
    EXPECT_EQ(ev.log, "exec(2)");
    EXPECT_EQ(ev.payload, (Bytes{0x33, 0x44}));
    EXPECT_TRUE(h.end.Queued().empty());
}

TEST_F(LinkRecovery, ABadReplyCostsOnlyItsTail) {
    EXPECT_TRUE(h.link.ReadFlash(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    Bytes bad = kReply1122;
    bad[3] ^= 0x01;
    h.end.Send(bad);
    ASSERT_TRUE(PumpUntilLogHas("rep(1)"));
    // The rest of a garbled frame may still be coming: the packet goes out
    // again once the line has been quiet for the tail, each byte restarting it.
    h.Advance(10);
    h.end.Send({0x01, 0x02});
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(10);
    EXPECT_TRUE(h.end.Queued().empty());
    h.Advance(10);
    ASSERT_EQ(h.end.Queued(), kFlashA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilLogHas("exec"));
    EXPECT_TRUE(h.link.ReadFlash(0x0200, 2));
    EXPECT_EQ(AfterSendDelay(), kFlashB) << "A's answer may still come, but it is known by its bytes";
}

TEST_F(LinkRecovery, ABadReplysTailIsFourCharacterTimesAtThePortsSpeed) {
    // At 1200 baud a character (start bit, 8 data bits, stop bit) takes
    // 8334 us: the tail is 10 ms + 4 x 8.334 ms. One character would be
    // 18.3 ms, a port without a speed 14 ms.
    struct Writes {
        int count = 0;
        void Event(const TQ31TraceEvent& e) { count += e.kind == Q31_TRACE_WRITE; }
    } writes;
    PtyPair pty;
    ASSERT_TRUE(PtyOpen(pty));
    const PortHandle port = OpenHostPort(pty.slavePath.c_str(), 1200);
    ASSERT_TRUE(PortUsable(port));
    h.channel.ComHandle = port;
    EXPECT_EQ(h.channel.CharTimeMicros(), 8334);
    h.link.OnTrace = TPublicNetKs::TraceEvent::Bind<&Writes::Event>(&writes);
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    h.Advance(10);
    ASSERT_EQ(writes.count, 1);
    Bytes bad = kReply1122;
    bad[3] ^= 0x01;
    ASSERT_TRUE(PtyWrite(pty.master, bad.data(), bad.size(), 1000));
    ASSERT_TRUE(PumpUntilLogHas("rep(1)"));
    h.Advance(40);
    EXPECT_EQ(writes.count, 1) << "the tail is not over";
    h.Advance(5);
    EXPECT_EQ(writes.count, 2);
    h.link.BreakTransmit();
    CloseHostPort(port);
    PtyClose(pty);
}

TEST_F(LinkRecovery, AReplyAfterATimeOutWaitsTheMetersUsualTimeToAnswerForAFollower) {
    // A clean exchange shows the meter answering 100 ms after the send.
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.Advance(100);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilLogHas("exec"));
    // B times out; the answer to its re-send may be the first send's, with
    // the re-send's own due about 100 ms behind it (plus a 14 ms tail).
    ev.log.clear();
    EXPECT_TRUE(h.link.ReadRAM(0x0200, 2));
    ASSERT_EQ(AfterSendDelay(), kReadB);
    h.Advance(500);
    ASSERT_EQ(AfterSendDelay(), kReadB);
    h.end.Send(kReply3344);
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(100);
    EXPECT_EQ(ev.log, "rep(1)") << "still watching for a frame behind it";
    h.Advance(20);
    EXPECT_EQ(ev.log, "rep(1)exec(2)");
}

TEST_F(LinkRecovery, AutoConfirmsThePacketThatShowedAFaultAndOneAfterIt) {
    h.link.ReadConfirmation = ConfirmMode::Auto;
    EXPECT_TRUE(h.link.ReadFlash(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    Bytes bad = kReply1122;
    bad[3] ^= 0x01;
    h.end.Send(bad);
    ASSERT_TRUE(PumpUntilLogHas("rep(1)"));
    // A goes again after its tail; A and B are then read twice each, and
    // their replies must agree.
    const auto confirmed = [&](const Bytes& packet, const Bytes& reply, const std::string& logAfter) {
        h.end.Send(reply);
        ASSERT_TRUE(PumpUntilTaken());
        EXPECT_EQ(AfterSendDelay(), packet);
        h.end.Send(reply);
        ASSERT_TRUE(PumpUntilLogHas(logAfter));
    };
    h.Advance(20);
    ASSERT_EQ(h.end.Queued(), kFlashA);
    confirmed(kFlashA, kReply1122, "rep(1)exec");
    EXPECT_TRUE(h.link.ReadFlash(0x0200, 2));
    ASSERT_EQ(AfterSendDelay(), kFlashB);
    confirmed(kFlashB, kReply3344, "exec(2)exec");
    // The third packet is read once.
    EXPECT_TRUE(h.link.ReadFlash(0x0100, 2));
    EXPECT_FALSE(h.link.Confirming());
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    h.end.Send(kReplyAABB);
    ASSERT_TRUE(PumpUntilLogHas("exec(2)exec(2)exec"));
    EXPECT_EQ(ev.log, "crcrep(1)exec(2)exec(2)exec(2)");
    EXPECT_EQ(ev.payload, (Bytes{0xAA, 0xBB}));
}

TEST_F(LinkRecovery, ADamagedFrameLongAfterTheSendLeavesItsAnswerOwed) {
    // Damaged and late: a late answer to something else, not A's. A's own
    // answer may still come after the one taken, so B waits for quiet.
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.Advance(300);
    Bytes bad = kReplyAABB;
    bad[3] ^= 0x01;
    h.end.Send(bad);
    ASSERT_TRUE(PumpUntilLogHas("rep(1)"));
    h.Advance(20);
    ASSERT_EQ(h.end.Queued(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(20);
    ASSERT_EQ(ev.log, "crcrep(1)exec(2)");
    WriteB();
    EXPECT_TRUE(AfterSendDelay().empty());
    EXPECT_TRUE(h.link.LineUnsettled());
}

TEST_F(LinkRecovery, TwoRepliesThatDisagreeLeaveAnAnswerOwed) {
    // A times out and goes again; a stray is taken and then disagrees with
    // A's late first answer, which the answer to the re-send confirms. The
    // answers to the last two sends are still to come, and as two copies
    // they would agree: a different packet, confirmed or not, waits.
    h.link.ReadConfirmation = ConfirmMode::Always;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.Advance(500);
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReplyAABB);
    ASSERT_TRUE(PumpUntilTaken());
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(20);
    ASSERT_EQ(ev.log, "rep(1)exec(2)");
    EXPECT_TRUE(h.link.ReadRAM(0x0200, 2));
    EXPECT_TRUE(AfterSendDelay().empty());
}

TEST_F(LinkRecovery, AbandonedPacketMakesTheNextOneWaitForQuiet) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    WriteB();  // armed over the unanswered A
    EXPECT_TRUE(AfterSendDelay().empty());
    h.end.Send(kReplyAABB);  // A's answer
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(1000);
    EXPECT_EQ(h.end.Queued(), kWriteB);
    h.end.Send(kAck);
    ASSERT_TRUE(PumpUntilLogHas("exec"));
    EXPECT_EQ(ev.payload, kAck);
}

TEST_F(LinkRecovery, AnAnswerPaidForLongAgoHoldsNoLaterPacketUp) {
    // A under a 5 s time-out is answered; B under 500 ms is abandoned, so A
    // again waits for B's answer: two of B's time-outs, not two of A's.
    h.link.SetTimeOut(5000);
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilLogHas("exec"));
    h.link.SetTimeOut(500);
    EXPECT_TRUE(h.link.ReadRAM(0x0200, 2));
    ASSERT_EQ(AfterSendDelay(), kReadB);
    WriteB();
    h.Advance(900);
    EXPECT_TRUE(h.end.Queued().empty());
    h.Advance(200);
    EXPECT_EQ(h.end.Queued(), kWriteB);
}

TEST_F(LinkRecovery, ConfirmedPacketAfterATimeOutDoesNotWaitAndTakesNoStray) {
    h.link.ReadConfirmation = ConfirmMode::Auto;
    EXPECT_TRUE(h.link.ReadFlash(0x0100, 2));
    EXPECT_FALSE(h.link.Confirming()) << "a line with no fault is not confirmed";
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    h.Advance(500);
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    h.end.Send(kReply1122);  // held: after a fault, auto confirms
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(10);
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(20);
    ASSERT_EQ(ev.log, "rep(1)exec(2)");
    // B is confirmed too (the fault is recent) and goes at once; A's late
    // second answer lands in B's first send and is read off by its bytes.
    EXPECT_TRUE(h.link.ReadFlash(0x0200, 2));
    ASSERT_EQ(AfterSendDelay(), kFlashB);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    h.end.Send(kReply3344);
    ASSERT_TRUE(PumpUntilTaken());
    ASSERT_EQ(AfterSendDelay(), kFlashB);
    h.end.Send(kReply3344);
    ASSERT_TRUE(PumpUntilLogHas("exec(2)exec"));
    EXPECT_EQ(ev.payload, (Bytes{0x33, 0x44}));
}

TEST_F(LinkRecovery, AKnownLateAnswerIsReadOffWhereItComes) {
    // A, a flash read, times out and its re-send is answered: A's first
    // answer may still come, and it is known by its bytes. B goes at once,
    // unconfirmed; A's late answer is read off where it comes.
    EXPECT_TRUE(h.link.ReadFlash(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    h.Advance(500);
    ASSERT_EQ(AfterSendDelay(), kFlashA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    h.Advance(20);
    ASSERT_EQ(ev.log, "rep(1)exec(2)");
    EXPECT_TRUE(h.link.ReadFlash(0x0200, 2));
    ASSERT_EQ(AfterSendDelay(), kFlashB);
    EXPECT_FALSE(h.link.Confirming());
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    h.end.Send(kReply3344);
    ASSERT_TRUE(PumpUntilLogHas("exec(2)exec"));
    EXPECT_EQ(ev.log, "rep(1)exec(2)exec(2)");
    EXPECT_EQ(ev.payload, (Bytes{0x33, 0x44})) << "B's own answer, not A's late one";
}

TEST_F(LinkRecovery, CleanLineNeverWaits) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(h.link.ReadRAM(i % 2 ? 0x0200 : 0x0100, 2));
        ASSERT_EQ(AfterSendDelay(), i % 2 ? kReadB : kReadA) << "sent after the send delay alone, packet " << i;
        h.end.Send(kReply1122);
        ASSERT_TRUE(h.PumpUntil([&] { return ev.log.size() == 7u * (i + 1); }));
        EXPECT_FALSE(h.link.LineUnsettled());
    }
    EXPECT_EQ(ev.log, "exec(2)exec(2)exec(2)");
}

TEST_F(LinkRecovery, LineThatNeverFallsQuietIsWaitedForOnlySoLong) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    AfterSendDelay();
    WriteB();
    AfterSendDelay();
    // A byte every 10 ms never leaves the tail's quiet; after the bound
    // (counted in time-outs from the start of the wait) the packet goes anyway.
    Bytes out;
    int elapsed = 10;
    while (out.empty() && elapsed < 20000) {
        h.end.Send({0x00});
        ASSERT_TRUE(PumpUntilTaken());
        h.Advance(10);
        elapsed += 10;
        out = h.end.Queued();
    }
    EXPECT_EQ(out, kWriteB);
    EXPECT_GE(elapsed, 500 * TPublicNetKs::kDrainLimit);
    EXPECT_LE(elapsed, 500 * TPublicNetKs::kDrainLimit + 30);
}

TEST_F(LinkRecovery, ConfirmedReadAcceptsOnlyTwoAgreeingReplies) {
    h.link.ReadConfirmation = ConfirmMode::Always;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_EQ(ev.log, "") << "one reply is not enough";
    ASSERT_EQ(AfterSendDelay(), kReadA) << "the same packet again, with no quiet wait";
    // A reply the checksum cannot tell from a good one: 11 22 became 12 21.
    h.end.Send({0xF0, 0x02, 0x12, 0x21, 0x55, 0x7A, 0x01});
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_EQ(ev.log, "") << "two different replies: read again";
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_EQ(ev.log, "") << "the last two still differ";
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilLogHas("exec"));
    EXPECT_EQ(ev.log, "exec(2)");
    EXPECT_EQ(ev.payload, (Bytes{0x11, 0x22}));
    EXPECT_EQ(h.link.RepetitionCounter, 0) << "confirming is not repeating";
}

TEST_F(LinkRecovery, AHeldReplyNeverConfirmsTheNextPacket) {
    h.link.ReadConfirmation = ConfirmMode::Always;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_TRUE(h.link.ReadRAM(0x0200, 2));  // armed over A, whose reply is held
    ASSERT_EQ(AfterSendDelay(), kReadB);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_EQ(ev.log, "") << "B's first reply is not confirmed by A's";
}

TEST_F(LinkRecovery, ConfirmedReadsLeaveWritesAndIdentificationAsTheyShould) {
    h.link.ReadConfirmation = ConfirmMode::Always;
    // A write is acknowledged once; sending it twice would write twice.
    const std::uint8_t data[1] = {0x5A};
    EXPECT_TRUE(h.link.WriteRAM(0x1234, 1, data));
    EXPECT_EQ(AfterSendDelay(), (Bytes{0xC9, 0x05, 0x20, 0x34, 0x12, 0x01, 0x5A, 0xF0, 0x7F, 0x02}));
    h.end.Send({0x06});
    ASSERT_TRUE(PumpUntilLogHas("exec(1)"));
    // The identification is a read: confirmed like any other.
    h.link.GetDeviceID();
    const Bytes id = {0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01};
    ASSERT_EQ(AfterSendDelay(), id);
    h.end.Send(IdReply(1234567));
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_EQ(ev.log, "exec(1)");
    ASSERT_EQ(AfterSendDelay(), id);
    // Type and version agree, the serial number does not: read again.
    h.end.Send(IdReply(1234568));
    ASSERT_TRUE(PumpUntilTaken());
    EXPECT_EQ(ev.log, "exec(1)");
    ASSERT_EQ(AfterSendDelay(), id);
    h.end.Send(IdReply(1234568));
    ASSERT_TRUE(PumpUntilLogHas("id("));
    EXPECT_EQ(ev.log, "exec(1)id(1234568)");
}

TEST_F(LinkRecovery, TimeOutOfZeroOrLessStillReadsAndTimesOut) {
    for (int setting : {0, -5}) {
        SCOPED_TRACE(setting);
        ev.log.clear();
        h.link.RepetitionCounter = 0;
        h.link.SetTimeOut(setting);
        EXPECT_EQ(h.link.GetTimeOut(), TPublicNetKs::kDefaultTimeOutMs);
        EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
        ASSERT_EQ(AfterSendDelay(), kReadA);
        h.end.Send(kReply1122);
        ASSERT_TRUE(PumpUntilLogHas("exec")) << "a reply that arrives is read and accepted";
        EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
        ASSERT_EQ(AfterSendDelay(), kReadA);
        h.Advance(TPublicNetKs::kDefaultTimeOutMs);
        EXPECT_EQ(ev.log, "exec(2)");
        h.Advance(10);
        EXPECT_EQ(ev.log, "exec(2)rep(1)") << "a silent meter is asked again";
        EXPECT_EQ(h.end.Queued(), kReadA);
        h.link.BreakTransmit();
    }
}

TEST_F(LinkRecovery, PortOnDescriptorZeroIsARealPort) {
    // A daemon that closed its standard input gets its tty on descriptor 0.
    const int saved = ::dup(0);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(::dup2(static_cast<int>(h.end.host), 0), 0);
    h.channel.ComHandle = 0;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    const Bytes out = AfterSendDelay();
    h.end.Send(kReply1122);
    const bool answered = PumpUntilLogHas("exec");
    ::dup2(saved, 0);
    ::close(saved);
    EXPECT_EQ(out, kReadA);
    EXPECT_TRUE(answered);
    EXPECT_FALSE(PortUsable(-1));
    EXPECT_TRUE(PortUsable(0));
}

TEST_F(LinkRecovery, PacketWithoutSourceIsRefused) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    ASSERT_EQ(AfterSendDelay(), kReadA);
    h.end.Send(kReply1122);
    ASSERT_TRUE(PumpUntilLogHas("exec"));
    EXPECT_FALSE(h.link.Transmitpackage(9, nullptr));
    EXPECT_TRUE(AfterSendDelay().empty()) << "the previous packet must not go out again";
    const std::uint8_t own[3] = {0x01, 0x02, 0x03};
    EXPECT_TRUE(h.link.Transmitpackage(3, own));
    EXPECT_EQ(AfterSendDelay(), (Bytes{0x01, 0x02, 0x03}));
}

TEST_F(LinkRecovery, ReadOfZeroBytesReadsNothing) {
    struct Chunks {
        int count = 0;
        int bytes = -1;
        TPublicDevCom* channel = nullptr;
        void Chunk(char*) {
            ++count;
            bytes = channel->BytesRead;
        }
    } chunks;
    chunks.channel = &h.channel;
    h.channel.OnReceivePacket = Delegate<void(char*)>::Bind<&Chunks::Chunk>(&chunks);
    h.channel.SetReadinCount(1);
    h.channel.LengthPacket = 0;
    const std::uint8_t one = 0x42;
    h.channel.Transmit_Packed(&one, 1);
    h.end.Send({0xF0, 0x01, 0x02});
    ASSERT_TRUE(h.PumpUntil([&] { return chunks.count == 1; }));
    EXPECT_EQ(chunks.bytes, 0);
    EXPECT_EQ(h.end.UnreadByLibrary(), 3) << "the next reply's bytes stay on the line";
}

}  // namespace
}  // namespace q31::test
