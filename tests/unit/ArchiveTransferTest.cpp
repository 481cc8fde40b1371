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
    void Long(int count, std::int32_t* values) {
        events.push_back(count);
        ownerBackAtEvent = OwnerHasReplies();
        EXPECT_EQ(values, meter.LongBuffer);
    }
    void Short(int count, std::int16_t* values) {
        events.push_back(count);
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
    EXPECT_EQ(packet, (Bytes{0xC9, 0x06, 0x31, 0x00, 0x29, 0x00, 0x00, 0x0C, 0xF0, 0x25, 0x02}));
    ASSERT_TRUE(
        Reply({0xF0, 0x0C, 0x01, 0x00, 0x00, 0x00, 0xD0, 0x07, 0x00, 0x00, 0x58, 0x02, 0x00, 0x00, 0x55, 0x83, 0x02}));
    EXPECT_TRUE(ownerBackAtEvent) << "a handler of OnArhives may start the next command";
    EXPECT_EQ(std::uint32_t{counters.FirstWord}, 1u);
    EXPECT_EQ(std::uint32_t{counters.HourCount}, 2000u);
    EXPECT_EQ(std::uint32_t{counters.DayCount}, 600u);

    // A short reply is not the answer to a 12-byte read: the packet goes
    // again, and the counters stay as they were until a whole answer comes.
    meter.GetFArhives();
    const Bytes again = NextPacket();
    const int before = meter.RepetitionCounter;
    end.Send(GeneralReply({7, 0, 0, 0, 9}));
    ASSERT_TRUE(PumpUntil([&] { return meter.RepetitionCounter == before + 1; }));
    EXPECT_EQ(NextSent(loop, end), again);
    EXPECT_EQ(std::uint32_t{counters.HourCount}, 2000u);
    ASSERT_TRUE(Reply(GeneralReply({7, 0, 0, 0, 9, 0, 0, 0, 8, 0, 0, 0})));
    EXPECT_EQ(std::uint32_t{counters.FirstWord}, 7u);
    EXPECT_EQ(std::uint32_t{counters.HourCount}, 9u);
    EXPECT_EQ(std::uint32_t{counters.DayCount}, 8u);
    EXPECT_EQ(owner.calls, 0);
}

TEST_F(ArchiveTransfer, ArchiveCommandPacketsAreFramedAsTheMeterExpects) {
    ASSERT_TRUE(meter.ReadArhiveV2(0x00049600 + 68, 160, 8));
    EXPECT_EQ(NextPacket(), (Bytes{0xC9, 0x07, 0x90, 0x44, 0x96, 0x04, 0x00, 0xA0, 0x08, 0xF0, 0xD6, 0x03}));
    ASSERT_TRUE(meter.TestArhiveV2(0xAB, 0x11223344, 0x5566));
    EXPECT_EQ(NextPacket(), (Bytes{0xC9, 0x08, 0x91, 0xAB, 0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0xF0, 0x62, 0x04}));
    // The reply goes to whoever holds OnReceiveExecuted.
    ASSERT_TRUE(Reply(GeneralReply({1, 2, 3})));
    EXPECT_EQ(owner.calls, 1);
}

// One 0x90 packet of an array read and its reply, byte by byte: two 32-bit
// values of records 10 and 11 of the hourly ring (256-byte records).
TEST_F(ArchiveTransfer, ArrayReadPacketAndReplyWrittenOut) {
    meter.Arhives.HourCount = 12;
    meter.GetArrayHourLongV2(12544 + 220, 10, 0, 256);
    // Address 12544 + 220 + 10 * 256 = 15324 = 0x3BDC; 8 bytes of 4-byte values.
    EXPECT_EQ(NextPacket(), (Bytes{0xC9, 0x07, 0x90, 0xDC, 0x3B, 0x00, 0x00, 0x08, 0x04, 0xF0, 0x73, 0x03}));
    ASSERT_TRUE(Reply({0xF0, 0x08, 0x10, 0x20, 0x30, 0x40, 0x11, 0x21, 0x31, 0x41, 0x55, 0x91, 0x02}));
    ASSERT_EQ(events, std::vector<int>{2});
    EXPECT_EQ(static_cast<std::uint32_t>(meter.LongBuffer[0]), 0x40302010u);
    EXPECT_EQ(static_cast<std::uint32_t>(meter.LongBuffer[1]), 0x41312111u);
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
    EXPECT_TRUE(NextPacket().empty()) << "no packet for an empty read";
    EXPECT_TRUE(progress.texts.empty());
}

TEST_F(ArchiveTransfer, ReplyWithNoWholeValueFailsThePacketInsteadOfEndingTheRead) {
    // Stray bytes in place of values must not pass for "no more records":
    // the packet fails as a bad reply does and goes out again unchanged.
    struct Repeats {
        std::vector<int> counts;
        void Repetition(int n) { counts.push_back(n); }
    } repeats;
    meter.OnRepetition = Delegate<void(int)>::Bind<&Repeats::Repetition>(&repeats);
    meter.Arhives.HourCount = 1200;
    meter.GetArrayHourLongV2(12764, 1100, 0, 256);
    Bytes packet = NextPacket();
    ASSERT_FALSE(packet.empty());
    end.Send(AddressValues(256)(packet));
    ASSERT_TRUE(PumpUntil([&] { return progress.texts.size() == 1; }));
    const Bytes second = NextPacket();
    ASSERT_FALSE(second.empty());
    for (int i = 1; i <= 3; ++i) {
        end.Send(GeneralReply({0xEE, 0xEE, 0xEE}));
        ASSERT_TRUE(PumpUntil([&] { return repeats.counts.size() == static_cast<std::size_t>(i); }));
        EXPECT_EQ(NextPacket(), second) << "the same packet again, try " << i;
    }
    EXPECT_EQ(repeats.counts, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(events.empty()) << "no series delivered while a packet fails";
    // A proper answer then carries the read on to its end.
    const std::size_t shown = progress.texts.size();
    end.Send(AddressValues(256)(second));
    ASSERT_TRUE(PumpUntil([&] { return progress.texts.size() > shown; }));
    Serve(AddressValues(256));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], 100);
    EXPECT_TRUE(OwnerHasReplies());
}

TEST_F(ArchiveTransfer, ReplyWithNoWholeValueEndsInTimeOutWithoutRepetition) {
    struct TimeOuts {
        int count = 0;
        void TimeOut(TComponent*) { ++count; }
    } timeOuts;
    meter.Repetition = false;
    meter.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&TimeOuts::TimeOut>(&timeOuts);
    meter.Arhives.HourCount = 1200;
    meter.GetArrayHourLongV2(12764, 1100, 0, 256);
    ASSERT_FALSE(NextPacket().empty());
    end.Send(GeneralReply({}));
    ASSERT_TRUE(PumpUntil([&] { return timeOuts.count == 1; }));
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(NextPacket().empty()) << "nothing is sent again";
}

TEST_F(ArchiveTransfer, ArchiveCommandRepliesAreConfirmedAndCheckedForWholeValues) {
    meter.ReadConfirmation = ConfirmMode::Always;
    ASSERT_TRUE(meter.ReadArhiveV2(0x00049600, 16, 8));
    const Bytes packet = NextPacket();
    const Bytes two = GeneralReply({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    end.Send(two);
    ASSERT_TRUE(PumpUntil([&] { return end.UnreadByLibrary() == 0; }));
    EXPECT_EQ(owner.calls, 0) << "one reply is not enough";
    EXPECT_EQ(NextPacket(), packet);
    ASSERT_TRUE(Reply(two));
    EXPECT_EQ(owner.calls, 1);
    // The reply's length is the truth: eight bytes carry one whole value
    // and are taken; twelve carry a part of one (another frame's shape), and
    // the packet goes again.
    meter.ReadConfirmation = ConfirmMode::Off;
    ASSERT_TRUE(meter.ReadArhiveV2(0x00049600, 16, 8));
    EXPECT_EQ(NextPacket(), packet);
    ASSERT_TRUE(Reply(GeneralReply({1, 2, 3, 4, 5, 6, 7, 8})));
    EXPECT_EQ(owner.calls, 2);
    ASSERT_TRUE(meter.ReadArhiveV2(0x00049600, 16, 8));
    EXPECT_EQ(NextPacket(), packet);
    const int before = meter.RepetitionCounter;
    end.Send(GeneralReply({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    ASSERT_TRUE(PumpUntil([&] { return meter.RepetitionCounter == before + 1; }));
    EXPECT_EQ(owner.calls, 2);
}

TEST_F(ArchiveTransfer, LongerRepliesNeverRunPastTheBuffer) {
    // A reply of 252 bytes for the 160 asked is not the answer: without the
    // check the two-byte read of a whole ring would take 126 values a packet.
    meter.Arhives.HourCount = 5000;
    std::fill(std::begin(meter.ShortBuffer), std::end(meter.ShortBuffer), std::int16_t{0x5A5A});
    meter.GetArrayHourShort(17424, 0, 0);
    // Plain flash bytes, 160 of them, from the oldest record still held:
    // record 5000 - 1080 = 3920 lies in slot 680, at 17424 + 2 * 680 = 18784 = 0x4960.
    const Bytes first = {0xC9, 0x06, 0x31, 0x60, 0x49, 0x00, 0x00, 0xA0, 0xF0, 0x39, 0x03};
    EXPECT_EQ(NextPacket(), first);
    for (int i = 0; i < 3; ++i) {
        const int before = meter.RepetitionCounter;
        end.Send(GeneralReply(Bytes(252, 0x11)));
        ASSERT_TRUE(PumpUntil([&] { return meter.RepetitionCounter == before + 1; }));
        EXPECT_EQ(NextPacket(), first) << "the same packet goes again";
    }
    EXPECT_EQ(meter.ShortBuffer[0], 0x5A5A) << "nothing of a wrong reply is stored";
    EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace q31::test
