// The heat-meter component's measurement commands against a scripted meter:
// their packets, how their replies are read and delivered, and the ADC chain
// with its borrowing of OnReceiveExecuted and its hostile replies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "meter/TPublicNetKs_6x6.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

struct Owner {
    std::string log;
    Bytes payload;
    void Executed(short length, char* buffer) {
        log += "exec(" + std::to_string(length) + ")";
        payload.assign(buffer, buffer + length);
    }
    void TimeOut(TComponent*) { log += "timeout"; }
    TPublicNetKs::ReceiveEvent Handler() { return TPublicNetKs::ReceiveEvent::Bind<&Owner::Executed>(this); }
};

// A pointer record of 34 bytes whose word i is 0x1000 + 0x100 * i, as the
// virtual meter keeps it; `word6` and `word14` replace the two the chain uses.
Bytes PointerRecord(std::uint16_t word6 = 0x1600, std::uint16_t word14 = 0x1E00) {
    Bytes r(34);
    for (int i = 0; i < 17; ++i) frame::PutLe16(&r[2 * i], static_cast<std::uint16_t>(0x1000 + 0x100 * i));
    frame::PutLe16(&r[12], word6);
    frame::PutLe16(&r[28], word14);
    return r;
}

Bytes Block(std::uint8_t seed, std::size_t n = 32) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + 7 * i);
    return b;
}

class MeasurementCommands : public ::testing::Test, protected MeterRig {
protected:
    MeasurementCommands() {
        meter.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&Owner::TimeOut>(&owner);
        meter.OnReceiveExecuted = owner.Handler();
    }

    void Echo(bool on) {
        meter.SetReceiving_back(on);
        channel.EchoRead = on;
    }
    // Lets the send delay pass and returns what went out.
    Bytes SendAndTake(std::size_t n) {
        const Bytes out = NextSent(loop, end);
        EXPECT_EQ(out.size(), n);
        return out;
    }
    template <typename Pred>
    bool PumpUntil(Pred done, int ms = 2000) {
        return test::PumpUntil(loop, done, ms);
    }
    // Answers the packet in flight and waits until the component has taken
    // the whole reply: the owner heard of it, or the chain moved on to its
    // next receive routine.
    void Answer(const Bytes& reply) {
        const auto routine = meter.OnReceiveExecuted;
        const std::size_t logged = owner.log.size();
        end.Send(reply);
        ASSERT_TRUE(PumpUntil([&] { return meter.OnReceiveExecuted != routine || owner.log.size() != logged; }));
    }
    // Runs the ADC chain with the given replies; returns the four packets.
    std::vector<Bytes> RunChain(const Bytes& pointers, const Bytes& first, const Bytes& second) {
        std::vector<Bytes> sent;
        meter.GetADCData();
        sent.push_back(SendAndTake(11));
        Answer(GeneralReply(pointers));
        sent.push_back(SendAndTake(6));
        Answer({0x06});
        sent.push_back(SendAndTake(9));
        Answer(GeneralReply(first));
        sent.push_back(SendAndTake(9));
        Answer(GeneralReply(second));
        return sent;
    }
    Bytes Values() const {
        const auto* p = reinterpret_cast<const std::uint8_t*>(meter.ADCValues);
        return Bytes(p, p + sizeof meter.ADCValues);
    }

    Owner owner;
};

TEST_F(MeasurementCommands, PacketsCarryCommandByteAndData) {
    auto check = [&](const char* name, bool started, const Bytes& expected) {
        EXPECT_TRUE(started) << name;
        EXPECT_EQ(SendAndTake(expected.size()), expected) << name;
    };
    check("AnalogRead", meter.AnalogRead(0x0300, 16), {0xC9, 0x04, 0x82, 0x00, 0x03, 0x10, 0xF0, 0x52, 0x02});
    check("SaveData", meter.SaveData(1), {0xC9, 0x02, 0x80, 0x01, 0xF0, 0x3C, 0x02});
    check("GetADCPressData", meter.GetADCPressData(), {0xC9, 0x01, 0x86, 0xF0, 0x40, 0x02});
    check("StartTermCalculation", meter.StartTermCalculation(), {0xC9, 0x01, 0x85, 0xF0, 0x3F, 0x02});
    check("AnalogStart", meter.AnalogStart(0xFE), {0xC9, 0x02, 0x81, 0xFE, 0xF0, 0x3A, 0x03});
    check("AnalogEnd", meter.AnalogEnd(), {0xC9, 0x01, 0x83, 0xF0, 0x3D, 0x02});
    check("StartFlowCalculation", meter.StartFlowCalculation(9), {0xC9, 0x02, 0x84, 0x09, 0xF0, 0x48, 0x02});
    check("AnalogRead of the most a reply carries", meter.AnalogRead(0xFFFF, 252),
          {0xC9, 0x04, 0x82, 0xFF, 0xFF, 0xFC, 0xF0, 0x39, 0x05});
    EXPECT_FALSE(meter.AnalogRead(0, 253)) << "no reply could carry 253 bytes";
    loop.Tick(20 * 1000);
    EXPECT_TRUE(end.Queued().empty());
}

TEST_F(MeasurementCommands, AcknowledgedCommandReadsEchoThenOneByteAndKeepsTheOwnersHandler) {
    Echo(true);
    ASSERT_TRUE(meter.SaveData(1));
    const Bytes sent = SendAndTake(7);
    EXPECT_EQ(channel.ReadSize, 7) << "the echo of the 7-byte packet is read first";
    EXPECT_EQ(channel.ReadsLeft, 2);
    end.Send(sent);
    ASSERT_TRUE(PumpUntil([&] { return meter.ReceiveStage == 1; }));
    EXPECT_EQ(channel.ReadSize, 1) << "then the one acknowledgement byte";
    end.Send({0x15});
    ASSERT_TRUE(PumpUntil([&] { return !owner.log.empty(); }));
    EXPECT_EQ(owner.log, "exec(1)");
    EXPECT_EQ(owner.payload, Bytes{0x15}) << "the byte goes to the owner as it came, not interpreted";
    EXPECT_TRUE(meter.OnReceiveExecuted == owner.Handler());
    EXPECT_FALSE(meter.SavedReceiveExecuted.Assigned()) << "a single command borrows nothing";
}

TEST_F(MeasurementCommands, DataCommandReadsEchoHeaderThenBody) {
    Echo(true);
    ASSERT_TRUE(meter.AnalogRead(0x0300, 16));
    const Bytes sent = SendAndTake(9);
    EXPECT_EQ(channel.ReadSize, 9);
    EXPECT_EQ(channel.ReadsLeft, 3);
    end.Send(sent);
    ASSERT_TRUE(PumpUntil([&] { return meter.ReceiveStage == 1; }));
    EXPECT_EQ(channel.ReadSize, 2);
    const Bytes reply = GeneralReply(Block(0x40, 16));
    end.Send(Bytes(reply.begin(), reply.begin() + 2));
    ASSERT_TRUE(PumpUntil([&] { return meter.ReceiveStage == 2; }));
    EXPECT_EQ(channel.ReadSize, 16 + 3) << "payload, further byte and checksum";
    end.Send(Bytes(reply.begin() + 2, reply.end()));
    ASSERT_TRUE(PumpUntil([&] { return !owner.log.empty(); }));
    EXPECT_EQ(owner.log, "exec(16)");
    EXPECT_EQ(owner.payload, Block(0x40, 16));
    EXPECT_TRUE(meter.OnReceiveExecuted == owner.Handler());
}

TEST_F(MeasurementCommands, AnalogReadReplyWrittenOutReachesTheOwner) {
    meter.AnalogRead(0x0300, 4);
    EXPECT_EQ(SendAndTake(9), (Bytes{0xC9, 0x04, 0x82, 0x00, 0x03, 0x04, 0xF0, 0x46, 0x02}));
    Answer({0xF0, 0x04, 0x01, 0x02, 0x03, 0x04, 0x55, 0x53, 0x01});
    EXPECT_EQ(owner.log, "exec(4)");
    EXPECT_EQ(owner.payload, (Bytes{1, 2, 3, 4}));
}

TEST_F(MeasurementCommands, PressDataReachesTheOwnerWhateverItsLength) {
    meter.GetADCPressData();
    SendAndTake(6);
    Answer(GeneralReply({1, 2, 3, 4, 5}));
    EXPECT_EQ(owner.log, "exec(5)");
    EXPECT_EQ(owner.payload, (Bytes{1, 2, 3, 4, 5}));
    meter.GetADCPressData();
    SendAndTake(6);
    Answer(GeneralReply({}));
    EXPECT_EQ(owner.log, "exec(5)exec(0)");
}

TEST_F(MeasurementCommands, ADCChainSendsFourPacketsAndHandsOverBothBlocksOnce) {
    const auto sent = RunChain(PointerRecord(0x1600, 0x1E00), Block(0x11), Block(0x99));
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], (Bytes{0xC9, 0x06, 0x31, 0x10, 0x00, 0x00, 0x00, 0x22, 0xF0, 0x22, 0x02}))
        << "34 bytes of the pointer record at flash 16";
    EXPECT_EQ(sent[1], (Bytes{0xC9, 0x01, 0x85, 0xF0, 0x3F, 0x02}));
    EXPECT_EQ(sent[2], (Bytes{0xC9, 0x04, 0x10, 0x00, 0x16, 0x20, 0xF0, 0x03, 0x02})) << "32 bytes at word 6";
    EXPECT_EQ(sent[3], (Bytes{0xC9, 0x04, 0x10, 0x00, 0x1E, 0x20, 0xF0, 0x0B, 0x02})) << "32 bytes at word 14";
    loop.Tick(100 * 1000);
    EXPECT_TRUE(end.Queued().empty()) << "nothing after the fourth packet";

    EXPECT_EQ(owner.log, "exec(64)") << "no intermediate reply reaches the owner";
    Bytes both = Block(0x11);
    const Bytes second = Block(0x99);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(owner.payload, both);
    EXPECT_EQ(Values(), both);
    const Bytes pointers = PointerRecord();
    EXPECT_EQ(std::memcmp(meter.ADCPointers, pointers.data(), 32), 0);
    EXPECT_TRUE(meter.OnReceiveExecuted == owner.Handler()) << "the owner's handler is back";
}

TEST_F(MeasurementCommands, ADCChainFollowsTheMapAndFillsMembersWithoutHandler) {
    meter.OnReceiveExecuted.Clear();
    const std::uint32_t saved = FlashAddressMap[AddrRAMPointer];
    FlashAddressMap[AddrRAMPointer] = 0x00012345;
    const auto sent = RunChain(PointerRecord(0x0420, 0xABCD), Block(1), Block(2));
    FlashAddressMap[AddrRAMPointer] = saved;
    EXPECT_EQ(sent[0], Request(201, 0x31, {0x45, 0x23, 0x01, 0x00, 34}));
    EXPECT_EQ(sent[2], Request(201, 0x10, {0x20, 0x04, 32}));
    EXPECT_EQ(sent[3], Request(201, 0x10, {0xCD, 0xAB, 32}));
    EXPECT_EQ(owner.log, "");
    EXPECT_FALSE(meter.OnReceiveExecuted.Assigned()) << "the empty handler is given back as it was";
    EXPECT_EQ(meter.ADCPointers[6], 0x0420);
    EXPECT_EQ(meter.ADCPointers[14], 0xABCD);
    Bytes both = Block(1);
    const Bytes second = Block(2);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(Values(), both);
}

TEST_F(MeasurementCommands, ShortChainRepliesNeverPassEarlierBytesAsNewValues) {
    RunChain(PointerRecord(0x1600, 0x1E00), Block(0x11), Block(0x99));
    owner.log.clear();

    // A pointer record of 14 bytes for the 34 asked is not its answer: the
    // packet goes again, and the chain goes on only with a whole record.
    meter.GetADCData();
    const Bytes first = SendAndTake(11);
    const Bytes record = PointerRecord(0x1700, 0x1F00);
    const int before = meter.RepetitionCounter;
    end.Send(GeneralReply(Bytes(record.begin(), record.begin() + 14)));
    ASSERT_TRUE(PumpUntil([&] { return meter.RepetitionCounter == before + 1; }));
    EXPECT_EQ(SendAndTake(11), first);
    Answer(GeneralReply(record));
    SendAndTake(6);
    Answer({0x06});
    EXPECT_EQ(SendAndTake(9), Request(201, 0x10, {0x00, 0x17, 32}));
    // A block of 8 bytes for the 32 asked: the same.
    const int again = meter.RepetitionCounter;
    end.Send(GeneralReply(Block(0x55, 8)));
    ASSERT_TRUE(PumpUntil([&] { return meter.RepetitionCounter == again + 1; }));
    EXPECT_EQ(SendAndTake(9), Request(201, 0x10, {0x00, 0x17, 32}));
    EXPECT_EQ(owner.log, "");
    EXPECT_EQ(Values().front(), 0x11) << "the earlier values stay until a whole block comes";
}

TEST_F(MeasurementCommands, ADCChainStartedAgainAfterAnUnansweredOneEndsOnceWithTheOwner) {
    meter.Repetition = false;
    meter.GetADCData();
    SendAndTake(11);
    Answer(GeneralReply(PointerRecord()));
    SendAndTake(6);
    loop.Tick(500 * 1000);  // the meter never acknowledges 0x85
    EXPECT_EQ(owner.log, "timeout");
    owner.log.clear();
    loop.Tick(600 * 1000);  // the unanswered acknowledgement can no longer come

    RunChain(PointerRecord(), Block(3), Block(4));
    EXPECT_EQ(owner.log, "exec(64)");
    EXPECT_TRUE(meter.OnReceiveExecuted == owner.Handler());
    // Nothing starts over behind the owner's back.
    loop.Tick(50 * 1000);
    EXPECT_TRUE(end.Queued().empty());
    EXPECT_EQ(owner.log, "exec(64)");
}

}  // namespace
}  // namespace q31::test
