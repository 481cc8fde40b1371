// The heat-meter component's archive commands with a scripted meter: the
// packets on the line, the order of event and hand-back, the progress text,
// and replies a meter should not send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/MeterHarness.h"

namespace q31::test {
namespace {

// A progress control that keeps every text written into it.
struct ProgressLog : IProgressControl {
    std::vector<std::string> texts;
    void SetText(const char* text) override { texts.emplace_back(text); }
};

// A meter whose every archive value is the 32-bit address it was read from:
// the k-th value of a packet lies `stride` bytes after the one before it
// (the record size for 0x90 reads of records, the value size otherwise).
Answer AddressValues(std::uint32_t stride) {
    return [stride](const Bytes& p) -> Bytes {
        const bool v90 = p[2] == 0x90 && p.size() == 12;
        const bool flash = p[2] == 0x31 && p.size() == 11;
        if (!v90 && !flash) return {};
        const std::uint32_t address = frame::GetLe32(&p[3]);
        const std::uint8_t count = p[7];
        const std::uint32_t size = v90 ? p[8] : stride;
        Bytes payload(count);
        for (std::uint32_t i = 0; i < count; i += size) {
            std::uint8_t value[8] = {};
            frame::PutLe32(value, address + i / size * stride);
            for (std::uint32_t b = 0; b < size && i + b < count; ++b) payload[i + b] = value[b];
        }
        return GeneralReply(payload);
    };
}

class ArchiveTransfer : public MeterHarness, public ::testing::Test {
public:
    void SetUp() override {
        meter.ProgressControl = &progress;
        meter.OnArhivesV2HourLong = TPublicNetKs_6x6::ArrayEvent<std::int32_t>::Bind<&ArchiveTransfer::Long>(this);
        meter.OnArhivesHourShort = TPublicNetKs_6x6::ArrayEvent<std::int16_t>::Bind<&ArchiveTransfer::Short>(this);
    }
    void Long(int cout, std::int32_t* values) {
        events.push_back(cout);
        ownerBackAtEvent = OwnerHasReplies();
        EXPECT_EQ(values, meter.LongBuffer);
    }
    void Short(int cout, std::int16_t* values) {
        events.push_back(cout);
        EXPECT_EQ(values, meter.ShortBuffer);
    }
    void Counters(SArhives* a) {
        counters = *a;
        ownerBackAtEvent = OwnerHasReplies();
    }

    ProgressLog progress;
    std::vector<int> events;
    bool ownerBackAtEvent = true;
    SArhives counters{};
};

TEST_F(ArchiveTransfer, CountersAreTwelveFlashBytesGivenBackBeforeTheEvent) {
    meter.OnArhives = Delegate<void(SArhives*)>::Bind<&ArchiveTransfer::Counters>(this);
    meter.GetFArhives();
    const Bytes packet = NextPacket();
    EXPECT_EQ(packet, Request(201, 0x31, {0x00, 0x29, 0x00, 0x00, 12}));
    ASSERT_TRUE(Reply(GeneralReply({1, 0, 0, 0, 0xD0, 0x07, 0, 0, 0x58, 0x02, 0, 0})));
    EXPECT_TRUE(ownerBackAtEvent) << "a handler of OnArhives may start the next command";
    EXPECT_EQ(std::uint32_t{counters.FirstWord}, 1u);
    EXPECT_EQ(std::uint32_t{counters.HourCount}, 2000u);
    EXPECT_EQ(std::uint32_t{counters.DayCount}, 600u);

    // A short reply does not leave the last counters' bytes behind.
    meter.GetFArhives();
    NextPacket();
    ASSERT_TRUE(Reply(GeneralReply({7, 0, 0, 0, 9})));
    EXPECT_EQ(std::uint32_t{counters.FirstWord}, 7u);
    EXPECT_EQ(std::uint32_t{counters.HourCount}, 9u);
    EXPECT_EQ(std::uint32_t{counters.DayCount}, 0u);
    EXPECT_EQ(owner.calls, 0);
}

TEST_F(ArchiveTransfer, ArchiveCommandPacketsAreFramedAsTheMeterExpects) {
    ASSERT_TRUE(meter.ReadArhiveV2(0x00049600 + 68, 160, 8));
    EXPECT_EQ(NextPacket(), WithChecksum({0xC9, 7, 0x90, 0x44, 0x96, 0x04, 0x00, 160, 8, 0xF0}));
    ASSERT_TRUE(meter.TestArhiveV2(0xAB, 0x11223344, 0x5566));
    EXPECT_EQ(NextPacket(), WithChecksum({0xC9, 8, 0x91, 0xAB, 0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0xF0}));
    // The reply goes to whoever holds OnReceiveExecuted.
    ASSERT_TRUE(Reply(GeneralReply({1, 2, 3})));
    EXPECT_EQ(owner.calls, 1);
}

TEST_F(ArchiveTransfer, ReadAcrossTheRingsEndAsksForEachPacketAndEndsWithItsEvent) {
    meter.Arhives.HourCount = 1200;
    const std::uint32_t base = 12544 + 220;
    meter.GetArrayHourLongV2(base, 1000, 100, 256);
    EXPECT_FALSE(OwnerHasReplies()) << "the read holds the reply event while it runs";
    const std::vector<Bytes> packets = Serve(AddressValues(256));
    // 80 values to the end of the ring, then 120 from its start.
    const std::vector<std::uint32_t> offsets = {1000, 1040, 0, 40, 80};
    ASSERT_EQ(packets.size(), offsets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i][2], 0x90);
        EXPECT_EQ(frame::GetLe32(&packets[i][3]), base + offsets[i] * 256) << i;
        EXPECT_EQ(packets[i][7], 160);
        EXPECT_EQ(packets[i][8], 4);
    }
    ASSERT_EQ(events, std::vector<int>{200});
    EXPECT_FALSE(ownerBackAtEvent) << "the array reads raise their event before they give back";
    EXPECT_TRUE(OwnerHasReplies());
    EXPECT_EQ(progress.texts, (std::vector<std::string>{"40", "120", "80", "40"}));
    // Each value came from its own record, in order.
    for (std::uint32_t i = 0; i < 200; ++i) {
        const std::uint32_t slot = i < 80 ? 1000 + i : i - 80;
        ASSERT_EQ(static_cast<std::uint32_t>(meter.LongBuffer[i]), base + slot * 256) << i;
    }
}

TEST_F(ArchiveTransfer, NothingToFetchRaisesTheEventAtOnceAndGivesBack) {
    meter.Arhives.HourCount = 100;
    meter.GetArrayHourLongV2(12764, 150, 0, 256);
    EXPECT_EQ(events, std::vector<int>{0});
    EXPECT_TRUE(OwnerHasReplies());
    EXPECT_TRUE(NextPacket(60).empty()) << "no packet for an empty read";
    EXPECT_TRUE(progress.texts.empty());
}

TEST_F(ArchiveTransfer, RepliesWithNoWholeValueEndTheReadWithWhatItHas) {
    meter.Arhives.HourCount = 1200;
    meter.GetArrayHourLongV2(12764, 1100, 0, 256);
    // The first packet is answered properly, then only stray bytes come.
    Bytes packet = NextPacket();
    ASSERT_FALSE(packet.empty());
    end.Send(AddressValues(256)(packet));
    ASSERT_TRUE(PumpUntil([&] { return progress.texts.size() == 1; }));
    std::vector<Bytes> again;
    for (int i = 0; i < 5 && events.empty(); ++i) {
        packet = NextPacket();
        if (packet.empty()) break;
        again.push_back(packet);
        const std::size_t before = progress.texts.size();
        end.Send(GeneralReply({0xEE, 0xEE, 0xEE}));
        ASSERT_TRUE(PumpUntil([&] { return progress.texts.size() > before || !events.empty(); }));
    }
    ASSERT_EQ(again.size(), 3u) << "the same packet, asked for a bounded number of times";
    EXPECT_EQ(again[0], again[1]);
    EXPECT_EQ(again[1], again[2]);
    EXPECT_EQ(events, std::vector<int>{40});
    EXPECT_TRUE(OwnerHasReplies());
    EXPECT_TRUE(NextPacket(60).empty());
}

TEST_F(ArchiveTransfer, LongerRepliesNeverRunPastTheBuffer) {
    // Every reply carries 252 bytes for the 160 asked: without a bound the
    // two-byte read of a whole ring would take 126 values a packet.
    meter.Arhives.HourCount = 5000;
    std::fill(std::begin(meter.ShortBuffer), std::end(meter.ShortBuffer), std::int16_t{0x5A5A});
    meter.GetArrayHourShort(17424, 0, 0);
    const std::vector<Bytes> packets = Serve([](const Bytes&) { return GeneralReply(Bytes(252, 0x11)); });
    EXPECT_EQ(packets[0][2], 0x31) << "plain flash bytes";
    EXPECT_EQ(packets.size(), 14u);
    EXPECT_EQ(events, std::vector<int>{1080});
    EXPECT_EQ(meter.ShortBuffer[1079], 0x1111);
    EXPECT_EQ(meter.ShortBuffer[1080], 0x5A5A) << "nothing stored past the values asked for";
}

}  // namespace
}  // namespace q31::test
