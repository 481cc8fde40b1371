// The request engine against a scripted meter: packets, echo, stages,
// time-out, repetition and the hazards of late or oversized replies.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

struct Recorder {
    std::string log;
    Bytes payload;
    SIDDevice id{};
    void Executed(short length, char* buffer) {
        log += "exec(" + std::to_string(length) + ")";
        payload.assign(buffer, buffer + (length > 0 ? length : 0));
    }
    void FalseCrc(TComponent*) { log += "crc"; }
    void Repetition(int n) { log += "rep(" + std::to_string(n) + ")"; }
    void TimeOut(TComponent*) { log += "timeout"; }
    void Ident(SIDDevice* d) {
        log += "id";
        id = *d;
    }
    void Attach(TPublicNetKs& link) {
        link.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&Recorder::Executed>(this);
        link.OnFalseCRC = TPublicNetKs::SenderEvent::Bind<&Recorder::FalseCrc>(this);
        link.OnRepetition = Delegate<void(int)>::Bind<&Recorder::Repetition>(this);
        link.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&Recorder::TimeOut>(this);
        link.OnReceivedIDDevice = Delegate<void(SIDDevice*)>::Bind<&Recorder::Ident>(this);
    }
};

class LinkEngine : public ::testing::Test {
protected:
    void SetUp() override { rec.Attach(h.link); }
    // Lets the send delay pass and returns what went out.
    Bytes SendAndTake(std::size_t n) {
        const Bytes out = NextSent(h.loop, h.end);
        EXPECT_EQ(out.size(), n);
        return out;
    }
    LinkHarness h;
    Recorder rec;
};

TEST_F(LinkEngine, ChecksumKeepsLow16Bits) {
    Bytes b(300, 0xFF);  // 300 * 255 = 76500 = 0x12AD4
    EXPECT_EQ(frame::Checksum(b.data(), b.size()), 0x2AD4);
    EXPECT_EQ(TPublicNetKs::CRC(b.data(), 255), static_cast<std::uint16_t>(255 * 255));
}

TEST_F(LinkEngine, IdentificationWithEchoReadsOwnPacketThenReply) {
    h.link.SetReceiving_back(true);
    h.channel.EchoRead = true;
    h.link.GetDeviceID();
    h.Advance(9);
    EXPECT_TRUE(h.end.Queued().empty()) << "nothing goes out before the send delay";
    h.Advance(1);
    const Bytes sent = h.end.Take(6);
    EXPECT_EQ(sent, (Bytes{0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01}));
    h.end.Send(sent);  // the line echoes
    // Type 0x1400, version 0x00F0, serial 123456789 (0x075BCD15), word 0x1234.
    h.end.Send({0xF0, 0x0E, 0x00, 0x14, 0xF0, 0x00, 0x01, 0x02, 0x03, 0x04, 0x15, 0xCD, 0x5B, 0x07, 0x34, 0x12, 0x00,
                0x96, 0x03});
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "id");
    EXPECT_EQ(rec.id.SerialNumber, 123456789u);
    EXPECT_EQ(rec.id.DevType, 0x1400);
    EXPECT_EQ(rec.id.IdWord2, 0x00F0);
    EXPECT_EQ(rec.id.IdWord12, 0x1234);
}

TEST_F(LinkEngine, IdentificationWithSumOffByOneIsRefused) {
    h.link.GetDeviceID();
    SendAndTake(6);
    h.end.Send({0xF0, 0x0E, 0x00, 0x14, 0xF0, 0x00, 0x01, 0x02, 0x03, 0x04, 0x15, 0xCD, 0x5B, 0x07, 0x34, 0x12, 0x00,
                0x97, 0x03});
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "crcrep(1)");
}

TEST_F(LinkEngine, ReadRamPacketAndReplyStagesWithoutEcho) {
    ASSERT_TRUE(h.link.ReadRAM(0xFE00, 14));
    const Bytes sent = SendAndTake(9);
    EXPECT_EQ(sent, (Bytes{0xC9, 0x04, 0x10, 0x00, 0xFE, 0x0E, 0xF0, 0xD9, 0x02}));
    // Three bytes for the fourteen asked: a good frame, but not the answer.
    h.end.Send({0xF0, 0x03, 0x11, 0x22, 0x33, 0x55, 0xAE, 0x01});
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "crcrep(1)");
    EXPECT_EQ(SendAndTake(9), sent);
    Bytes fourteen = {0xF0, 0x0E};
    for (std::uint8_t i = 1; i <= 14; ++i) fourteen.push_back(i);
    fourteen.push_back(0x55);
    const std::uint16_t sum = Sum16(fourteen);
    fourteen.push_back(static_cast<std::uint8_t>(sum));
    fourteen.push_back(static_cast<std::uint8_t>(sum >> 8));
    h.end.Send(fourteen);
    ASSERT_TRUE(h.PumpUntil([&] { return rec.log.find("exec") != std::string::npos; }));
    EXPECT_EQ(rec.log, "crcrep(1)exec(14)");
    EXPECT_EQ(rec.payload, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
}

TEST_F(LinkEngine, EmptyPayloadDeliversLengthZero) {
    EXPECT_TRUE(h.link.GetDisplayData());
    SendAndTake(6);
    h.end.Send(GeneralReply({}));
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "exec(0)");
}

TEST_F(LinkEngine, BadChecksumThenGoodReply) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    SendAndTake(9);
    Bytes bad = GeneralReply({1, 2});
    bad.back() ^= 0x40;
    h.end.Send(bad);
    ASSERT_TRUE(h.PumpUntil([&] { return rec.log.size() >= 3; }));
    EXPECT_EQ(rec.log, "crcrep(1)");
    // The same packet goes out again after the send delay.
    const Bytes again = SendAndTake(9);
    EXPECT_EQ(again, (Bytes{0xC9, 0x04, 0x10, 0x00, 0x01, 0x02, 0xF0, 0xD0, 0x01}));
    h.end.Send(GeneralReply({1, 2}));
    ASSERT_TRUE(h.PumpUntil([&] { return rec.log.find("exec") != std::string::npos; }));
    EXPECT_EQ(rec.log, "crcrep(1)exec(2)");
}

TEST_F(LinkEngine, TimeOutResendsWithRepetitionAndReportsOnlyWithout) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    SendAndTake(9);
    h.Advance(500);
    EXPECT_EQ(rec.log, "") << "the read goes on through the send delay";
    h.Advance(10);
    EXPECT_EQ(rec.log, "rep(1)");
    EXPECT_EQ(SendAndTake(9).size(), 9u);
    h.Advance(510);
    EXPECT_EQ(rec.log, "rep(1)rep(2)");
    EXPECT_EQ(h.link.RepetitionCounter, 2);

    h.link.Repetition = false;
    SendAndTake(9);
    h.Advance(500);
    EXPECT_EQ(rec.log, "rep(1)rep(2)timeout");
    h.Advance(2000);
    EXPECT_TRUE(h.end.Queued().empty()) << "without repetition nothing is re-sent";
    EXPECT_EQ(rec.log, "rep(1)rep(2)timeout");
}

// Without repetition a failed exchange ends at once and tells the owner what
// each failure has always told it: a damaged frame only OnFalseCRC, a sound
// frame of another length than asked OnFalseCRC and then OnTimeOut.
TEST_F(LinkEngine, WithoutRepetitionABadOrWrongLengthReplyEndsTheExchange) {
    h.link.Repetition = false;
    Bytes damaged = GeneralReply({1, 2});
    damaged.back() ^= 0x40;
    const std::pair<Bytes, const char*> cases[] = {
        {damaged, "crc"},
        {GeneralReply({1, 2, 3}), "crctimeout"},
    };
    for (const auto& [reply, told] : cases) {
        SCOPED_TRACE(told);
        rec.log.clear();
        EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
        SendAndTake(9);
        h.end.Send(reply);
        ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
        h.Advance(2000);
        EXPECT_EQ(rec.log, told);
        EXPECT_TRUE(h.end.Queued().empty()) << "nothing is sent again";
        EXPECT_EQ(h.link.RepetitionCounter, 0);
    }
}

TEST_F(LinkEngine, NullTimeOutHandlerIsNeverCalled) {
    h.link.OnTimeOut.Clear();
    h.link.Repetition = false;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    SendAndTake(9);
    h.Advance(600);  // would crash if an empty handler were called
    EXPECT_EQ(rec.log, "");
}

TEST_F(LinkEngine, TimeOutCoversWholeExchange) {
    h.link.SetReceiving_back(true);
    h.channel.EchoRead = true;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    const Bytes sent = SendAndTake(9);
    h.Advance(300);
    h.end.Send(sent);  // echo and header arrive late; they do not restart the time-out
    const Bytes reply = GeneralReply({7, 8});
    h.end.Send(Bytes(reply.begin(), reply.begin() + 2));
    ASSERT_TRUE(h.PumpUntil([&] { return h.link.ReceiveStage == 2; }));
    h.Advance(200);
    h.Advance(10);  // the send delay after the time-out
    EXPECT_EQ(rec.log, "rep(1)");
}

TEST_F(LinkEngine, BreakDuringSendDelaySendsNothingAndStopsRepetition) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    h.Advance(5);
    h.link.BreakTransmit();
    h.Advance(3000);
    EXPECT_TRUE(h.end.Queued().empty());
    EXPECT_EQ(rec.log, "");
}

TEST_F(LinkEngine, EchoMustStartWithSlaveAddressForDataReplies) {
    h.link.SetReceiving_back(true);
    h.channel.EchoRead = true;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    Bytes sent = SendAndTake(9);
    sent[0] = 0x07;  // a garbled echo
    h.end.Send(sent);
    ASSERT_TRUE(h.PumpUntil([&] { return h.channel.ReadsLeft == 2; }));
    EXPECT_EQ(h.link.ReceiveStage, 0);
}

TEST_F(LinkEngine, WrongReplyAddressIsIgnoredUntilTimeOut) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    SendAndTake(9);
    h.end.Send(GeneralReply({1, 2}, 0x11));
    // Both reads of the exchange run (header, then two more bytes taken as
    // a header again); neither is taken for a reply.
    ASSERT_TRUE(h.PumpUntil([&] { return h.channel.ReadsLeft == 0 && !h.channel.ReadThread.Busy(); }));
    EXPECT_EQ(rec.log, "");
    h.Advance(500);
    h.Advance(10);
    EXPECT_EQ(rec.log, "rep(1)");
}

TEST_F(LinkEngine, PayloadCountOf252IsTakenAndAboveIsABadReply) {
    // The most a reply carries is also the most a read asks for.
    ASSERT_TRUE(h.link.ReadRAM(0x0100, 252));
    EXPECT_EQ(SendAndTake(9), (Bytes{0xC9, 0x04, 0x10, 0x00, 0x01, 0xFC, 0xF0, 0xCA, 0x02}));
    h.end.Send(GeneralReply(Bytes(252, 0x11)));
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "exec(252)");
    EXPECT_EQ(rec.payload, Bytes(252, 0x11));

    rec.log.clear();
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    SendAndTake(9);
    h.end.Send(Bytes{240, 253, 0, 0, 0});
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "crcrep(1)");
}

// A header whose count cannot be read (L + 3 does not fit the body length)
// and, in the same burst, bytes that would pass for what follows it: the
// exchange fails and the packet goes out again; nothing is accepted.
TEST_F(LinkEngine, OversizedHeaderFollowedByAGoodFrameEndsInAResend) {
    const Bytes packet = {0xC9, 0x04, 0x10, 0x00, 0x01, 0x02, 0xF0, 0xD0, 0x01};
    const Bytes bursts[] = {
        // L = 253, then a well-formed reply carrying 11 22.
        {0xF0, 0xFD, 0xF0, 0x02, 0x11, 0x22, 0x55, 0x7A, 0x01},
        // L = 255 (L + 3 wraps to 2), then the two bytes that would be the
        // sum of F0 FF if only two were read, then the well-formed reply.
        {0xF0, 0xFF, 0xEF, 0x01, 0xF0, 0x02, 0x11, 0x22, 0x55, 0x7A, 0x01},
    };
    for (const Bytes& burst : bursts) {
        SCOPED_TRACE(burst[1]);
        rec.log.clear();
        EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
        ASSERT_EQ(SendAndTake(9), packet);
        h.end.Send(burst);
        ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
        EXPECT_EQ(rec.log, "crcrep(1)") << "failed at once, no reply accepted";
        // The rest of the burst is read off the line before the packet goes
        // out again, once nothing more has come for a time-out.
        h.Advance(10);
        ASSERT_TRUE(h.PumpUntil([&] { return h.end.UnreadByLibrary() == 0; }));
        EXPECT_EQ(SendAndTake(9), packet) << "the same packet again";
        h.end.Send({0xF0, 0x02, 0x33, 0x44, 0x55, 0xBE, 0x01});
        ASSERT_TRUE(h.PumpUntil([&] { return rec.log.find("exec") != std::string::npos; }));
        EXPECT_EQ(rec.log, "crcrep(1)exec(2)");
        EXPECT_EQ(rec.payload, (Bytes{0x33, 0x44})) << "the re-sent packet's own reply";
        h.link.RepetitionCounter = 0;
    }
}

TEST_F(LinkEngine, LateBytesOfAbandonedRequestNeverReachTheNext) {
    // The first request's reply comes after the second request was armed.
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    SendAndTake(9);
    const std::uint8_t value = 0x5A;
    ASSERT_TRUE(h.link.WriteRAM(0x0200, 1, &value));
    // Re-arming ends the first exchange's read: none is left to take them.
    EXPECT_FALSE(h.channel.ReadThread.Busy());
    h.end.Send(GeneralReply({0xAA, 0xAA}));
    // The second packet (a write, never confirmed) waits while the line
    // falls quiet, and what arrives meanwhile is read off and dropped; only
    // its own reply counts.
    h.Advance(10);
    ASSERT_TRUE(h.PumpUntil([&] { return h.end.UnreadByLibrary() == 0; }));
    EXPECT_EQ(SendAndTake(10), (Bytes{0xC9, 0x05, 0x20, 0x00, 0x02, 0x01, 0x5A, 0xF0, 0x3B, 0x02}));
    h.end.Send({0xBB});
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "exec(1)");
    EXPECT_EQ(rec.payload, (Bytes{0xBB}));
}

TEST_F(LinkEngine, AcknowledgementIsAnyByte) {
    const std::uint8_t data[2] = {9, 8};
    ASSERT_TRUE(h.link.WriteRAM(0x1234, 2, data));
    EXPECT_EQ(SendAndTake(11), (Bytes{0xC9, 0x06, 0x20, 0x34, 0x12, 0x02, 0x09, 0x08, 0xF0, 0x38, 0x02}));
    h.end.Send({0x3C});
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    EXPECT_EQ(rec.log, "exec(1)");
    EXPECT_EQ(rec.payload, Bytes{0x3C});
}

TEST_F(LinkEngine, SilenceIsNeverTakenForAnAcknowledgement) {
    h.link.SetTimeOut(60);  // the read gives up after 60 ms of real time
    const std::uint8_t data[1] = {1};
    EXPECT_TRUE(h.link.WriteRAM(0x1234, 1, data));
    SendAndTake(10);
    // The read ends empty after its 120 ms (twice the time-out) and is
    // handed over: nothing is taken for an acknowledgement, and the line is
    // read again until the time-out decides.
    const unsigned reads = h.channel.ReadsDone;
    ASSERT_TRUE(h.PumpUntil([&] { return h.channel.ReadsDone > reads; }, 1000));
    EXPECT_EQ(rec.log, "") << "an empty read is no acknowledgement";
    EXPECT_TRUE(h.channel.ReadThread.Busy()) << "read again";
    h.Advance(60);
    h.Advance(10);
    EXPECT_EQ(rec.log, "rep(1)");
}

TEST_F(LinkEngine, AddressSettersKeepValidRanges) {
    h.link.SetSlaveNetAddress(239);
    EXPECT_EQ(h.link.GetSlaveNetAddress(), 201);
    h.link.SetSlaveNetAddress(238);
    EXPECT_EQ(h.link.GetSlaveNetAddress(), 238);
    h.link.SetSlaveNetAddress(0);
    EXPECT_EQ(h.link.GetSlaveNetAddress(), 238);
    h.link.SetMasterNetAddress(255);
    EXPECT_EQ(h.link.GetMasterNetAddress(), 240);
    h.link.SetMasterNetAddress(254);
    EXPECT_EQ(h.link.GetMasterNetAddress(), 254);
    h.link.SetMasterNetAddress(0);
    EXPECT_EQ(h.link.GetMasterNetAddress(), 254);
}

TEST_F(LinkEngine, NullBytePrecedesFirstPacketAndAfterQuietInterval) {
    h.link.NullByteEnabled = true;
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    h.Advance(10);
    Bytes out = h.end.Take(10);
    ASSERT_EQ(out.size(), 10u);
    EXPECT_EQ(out[0], 0x00);
    h.end.Send(GeneralReply({1, 2}));
    ASSERT_TRUE(h.PumpUntil([&] { return !rec.log.empty(); }));
    // Straight away: no preamble.
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    h.Advance(10);
    EXPECT_EQ(h.end.Take(9)[0], 201);
    EXPECT_TRUE(h.end.Queued().empty());
}

}  // namespace
}  // namespace q31::test
