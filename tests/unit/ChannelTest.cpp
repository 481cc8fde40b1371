// The serial channel: the read sequence of an exchange, short reads, and
// reads that must not outlive their exchange.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

struct Chunks {
    TPublicDevCom* channel = nullptr;
    std::vector<Bytes> got;
    std::vector<int> offsets;
    int nextLength = 0;
    void Packet(char* data) {
        const int offset = static_cast<int>(reinterpret_cast<std::uint8_t*>(data) - channel->ChannelBuffer);
        offsets.push_back(offset);
        got.emplace_back(data, data + channel->ReadSize);
        if (nextLength) channel->LengthPacket = nextLength;
    }
};

class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        chunks.channel = &h.channel;
        h.channel.OnReceivePacket = Delegate<void(char*)>::Bind<&Chunks::Packet>(&chunks);
        h.channel.ReadTimeout = 100;
    }
    LinkHarness h;
    Chunks chunks;
};

TEST_F(Channel, EchoReadAddsOneReadAndChunksFollowEachOther) {
    h.channel.SetReadinCount(2);
    h.channel.EchoRead = true;
    h.channel.LengthPacket = 3;
    chunks.nextLength = 7;  // set from inside the event: the next read is 7 bytes
    const std::uint8_t packet[3] = {1, 2, 3};
    h.channel.Transmit_Packed(packet, 3);
    EXPECT_EQ(h.end.Take(3), (Bytes{1, 2, 3}));
    h.end.Send({1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 20, 21, 22, 23, 24, 25, 26});
    ASSERT_TRUE(h.PumpUntil([&] { return chunks.got.size() == 3; }));
    EXPECT_EQ(chunks.got[0], (Bytes{1, 2, 3}));
    EXPECT_EQ(chunks.got[1], (Bytes{10, 11, 12, 13, 14, 15, 16}));
    EXPECT_EQ(chunks.offsets, (std::vector<int>{0, 3, 10}));
    EXPECT_EQ(h.channel.ReadsLeft, 0);
    // The third chunk's hand-over has run: had it started a fourth read,
    // that read would be outstanding now.
    EXPECT_FALSE(h.channel.ReadThread.Busy()) << "no read after the last one, whatever LengthPacket holds";
    EXPECT_EQ(chunks.got.size(), 3u);
}

TEST_F(Channel, ShortReadIsZeroFilledNotStale) {
    h.channel.SetReadinCount(1);
    h.channel.LengthPacket = 5;
    std::memset(h.channel.ChannelBuffer, 0xEE, 10);  // an earlier exchange's bytes
    h.channel.Transmit_Byte(0x42);
    EXPECT_EQ(h.end.Take(1), Bytes{0x42});
    h.end.Send({7, 8, 9});
    ASSERT_TRUE(h.PumpUntil([&] { return chunks.got.size() == 1; }));
    EXPECT_EQ(chunks.got[0], (Bytes{7, 8, 9, 0, 0}));
    EXPECT_EQ(h.channel.BytesRead, 3);
}

TEST_F(Channel, AlwaysOneReadAndRtPacketRaisesLengthToOne) {
    h.channel.SetReadinCount(0);
    h.channel.LengthPacket = 0;
    h.channel.SetReceiveType(rtPacket);
    EXPECT_EQ(h.channel.LengthPacket, 1);
    h.channel.LengthPacket = 9;
    h.channel.SetReceiveType(rtPacket);
    EXPECT_EQ(h.channel.LengthPacket, 9);
    h.channel.LengthPacket = 1;
    h.channel.Transmit_Short(0x1234);
    EXPECT_EQ(h.end.Take(2), (Bytes{0x34, 0x12})) << "low byte first";
    h.end.Send({5});
    ASSERT_TRUE(h.PumpUntil([&] { return chunks.got.size() == 1; }));
    EXPECT_EQ(chunks.got[0], Bytes{5});
}

TEST_F(Channel, ReadThatWouldPassTheBufferEndsTheExchange) {
    h.channel.SetReadinCount(5);
    h.channel.LengthPacket = 300;  // five of these cannot fit 1002 bytes
    h.channel.Transmit_Byte(0);
    h.end.Take(1);
    h.end.Send(Bytes(1500, 0x11));
    ASSERT_TRUE(h.PumpUntil([&] { return chunks.got.size() == 3; }));
    EXPECT_FALSE(h.channel.ReadThread.Busy()) << "the fourth read was never started";
    EXPECT_EQ(chunks.got.size(), 3u);
    EXPECT_EQ(h.channel.ReadsLeft, 0);
}

TEST_F(Channel, NewTransmitEndsWaitingReadAndDropsItsBytes) {
    h.channel.SetReadinCount(1);
    h.channel.LengthPacket = 4;
    h.channel.ReadTimeout = 5000;
    h.channel.Transmit_Byte(1);
    h.end.Take(1);
    h.end.Send({0xAA, 0xAA});  // half a reply, then the exchange is abandoned
    // The read has taken the half and still waits for the other two bytes.
    ASSERT_TRUE(h.PumpUntil([&] { return h.end.UnreadByLibrary() == 0; }));
    ASSERT_TRUE(h.channel.ReadThread.Busy());
    h.channel.Transmit_Byte(2);  // purges the stale half, restarts the read
    h.end.Take(1);
    h.end.Send({1, 2, 3, 4});
    ASSERT_TRUE(h.PumpUntil([&] { return chunks.got.size() == 1; }));
    EXPECT_EQ(chunks.got[0], (Bytes{1, 2, 3, 4}));
}

TEST_F(Channel, NoPortDeliversZeroChunkAtOnce) {
    h.channel.ComHandle = 0;
    h.channel.SetReadinCount(1);
    h.channel.LengthPacket = 3;
    h.channel.Transmit_Byte(1);
    ASSERT_TRUE(h.PumpUntil([&] { return chunks.got.size() == 1; }, 500));
    EXPECT_EQ(chunks.got[0], (Bytes{0, 0, 0}));
    EXPECT_FALSE(h.channel.TransmitOK);
}

}  // namespace
}  // namespace q31::test
