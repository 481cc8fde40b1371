#include <gtest/gtest.h>

#include <vector>

#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

MeterReply Ask(MeterModel& m, std::uint8_t command, Bytes data, std::uint8_t master = 0xF0,
               std::uint8_t slave = kDefaultMeterAddress) {
    return m.Handle(BuildRequest(slave, command, data, master));
}

// Checks the general form and returns the payload.
Bytes Payload(const Bytes& reply, std::uint8_t master = 0xF0) {
    EXPECT_GE(reply.size(), 5u);
    if (reply.size() < 5) return {};
    EXPECT_EQ(reply[0], master);
    EXPECT_EQ(reply.size(), reply[1] + 5u);
    const std::size_t sumAt = reply.size() - 2;
    EXPECT_EQ(GetU16(&reply[sumAt]), Checksum(std::span(reply).first(sumAt)));
    return Bytes(reply.begin() + 2, reply.begin() + 2 + reply[1]);
}

TEST(MeterModel, IdentificationIsNineteenBytesToTheRequestingMaster) {
    MeterConfig config;
    config.serialNumber = 0x01020304;
    config.versionWord = 0x0101;
    MeterModel m(config);
    const MeterReply r = Ask(m, 0x0F, {}, 0x33);
    ASSERT_EQ(r.bytes.size(), 19u);
    const Bytes id = Payload(r.bytes, 0x33);
    ASSERT_EQ(id.size(), 14u);
    EXPECT_EQ(GetU16(&id[0]), 0x1400);
    EXPECT_EQ(GetU16(&id[2]), 0x0101);
    EXPECT_EQ(GetU32(&id[8]), 0x01020304u);
    EXPECT_EQ(r.bytes[16], m.FurtherByte());
    EXPECT_EQ(r.requestNumber, 1u);
}

TEST(MeterModel, LayoutTheMasterLooksForIsInPlace) {
    MeterModel m;
    const Bytes block = Payload(Ask(m, 0x10, {0x00, 0xFE, 100}).bytes);
    ASSERT_EQ(block.size(), 100u);
    EXPECT_EQ(block[kModuleCountOffset], 6);
    EXPECT_EQ(Payload(Ask(m, 0x08, {}).bytes), Bytes{6});

    // The RAM-pointer record, read as the master does: 38 bytes at flash 16.
    const Bytes pointers = Payload(Ask(m, 0x31, {0x10, 0, 0, 0, 38}).bytes);
    ASSERT_EQ(pointers.size(), 38u);
    EXPECT_EQ(GetU16(&pointers[2 * kPtrLastMeasureWord]), kLastMeasureAddress);
    EXPECT_EQ(GetU16(&pointers[2 * kPtrModuleTotalsWord]), kModuleTotalsAddress);
    EXPECT_LE(kModuleTotalsAddress + kModuleTotalsSize, kModuleBlockAddress);
    // The 16-bit flash read sees the same image.
    EXPECT_EQ(Payload(Ask(m, 0x30, {0x10, 0, 38}).bytes), pointers);
}

TEST(MeterModel, ReadsStayInsideTheImages) {
    MeterModel m;
    // 16 bytes exist before the end of flash, the rest reads as zeros.
    const Bytes tail = Payload(Ask(m, 0x31, {0xF0, 0xFF, 0x07, 0x00, 32}).bytes);
    ASSERT_EQ(tail.size(), 32u);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 16, m.Flash().end() - 16));
    EXPECT_EQ(Bytes(tail.begin() + 16, tail.end()), Bytes(16, 0));
    EXPECT_EQ(Payload(Ask(m, 0x31, {0xFF, 0xFF, 0xFF, 0xFF, 4}).bytes), Bytes(4, 0));
    // RAM end: the 16-bit address does not wrap round to 0.
    EXPECT_EQ(Payload(Ask(m, 0x10, {0xFF, 0xFF, 3}).bytes), (Bytes{m.Ram()[0xFFFF], 0, 0}));
    // The master cannot take more than 252 bytes in one reply.
    EXPECT_EQ(Payload(Ask(m, 0x10, {0, 0, 255}).bytes).size(), 252u);
}

TEST(MeterModel, WritesChangeTheImagesAndAreAcknowledged) {
    MeterModel m;
    EXPECT_EQ(Ask(m, 0x20, {0x34, 0x12, 3, 0xAA, 0xBB, 0xCC}).bytes, Bytes{m.AckByte()});
    EXPECT_EQ(Bytes(m.Ram().begin() + 0x1234, m.Ram().begin() + 0x1237), (Bytes{0xAA, 0xBB, 0xCC}));

    Ask(m, 0x40, {0x00, 0x21, 2, 0x11, 0x22});
    EXPECT_EQ(m.Memory().ReadU16(MemoryArea::Flash, 0x2100), 0x2211);

    Ask(m, 0x41, {0x68, 0x25, 0x07, 0x00, 2, 0x00, 0x00});  // 0x72568, above 64 KiB
    EXPECT_EQ(m.Memory().ReadU16(MemoryArea::Flash, 0x72568), 0);
    // A write running past the end of flash keeps what fits and goes no further.
    EXPECT_EQ(Ask(m, 0x41, {0xFE, 0xFF, 0x07, 0x00, 4, 1, 2, 3, 4}).bytes.size(), 1u);
    EXPECT_EQ(m.Flash()[0x7FFFE], 1);
    EXPECT_EQ(m.Flash()[0x7FFFF], 2);

    // F149: 0xCA in place of the address, count before the address.
    const Bytes f149 = BuildRequest(kF149Address, 0x5A, Bytes{2, 0x00, 0x11, 0x5E, 0x5F});
    EXPECT_EQ(m.Handle(f149).bytes, Bytes{m.AckByte()});
    EXPECT_EQ(m.F149Flash()[0x1100], 0x5E);
    EXPECT_EQ(m.F149Flash()[0x1101], 0x5F);
    // The control sum follows the F149 image; clearing erases it to 0xFF.
    const std::uint16_t before = GetU16(Payload(Ask(m, 0x07, {0, 0}).bytes).data());
    EXPECT_EQ(before, Checksum(m.F149Flash()));
    Ask(m, 0x55, {});
    EXPECT_EQ(m.F149Flash()[0x1100], 0xFF);
    EXPECT_NE(GetU16(Payload(Ask(m, 0x07, {0, 0}).bytes).data()), before);
}

TEST(MeterModel, IgnoresWhatIsNotAValidRequestForIt) {
    MeterModel m;
    const Bytes ram(m.Ram().begin(), m.Ram().end());
    Bytes bad = BuildRequest(kDefaultMeterAddress, 0x0F, {});
    bad.back() ^= 1;
    EXPECT_EQ(m.Handle(bad).requestNumber, 0u);
    EXPECT_EQ(Ask(m, 0x0F, {}, 0xF0, 7).requestNumber, 0u);  // another meter
    EXPECT_EQ(m.Handle(BuildRequest(kF149Address, 0x10, Bytes{0, 0, 1})).requestNumber, 0u);
    EXPECT_EQ(m.Handle(Bytes{0xC9, 0x01}).requestNumber, 0u);
    EXPECT_EQ(m.RequestCount(), 0u);

    // Valid frames the meter cannot execute: counted and logged, not answered.
    EXPECT_TRUE(Ask(m, 0x20, {0x00, 0x10, 5, 1, 2}).bytes.empty());  // count says 5, 2 sent
    EXPECT_TRUE(Ask(m, 0x10, {0x00, 0x10}).bytes.empty());
    EXPECT_TRUE(Ask(m, 0xEE, {}).bytes.empty());
    EXPECT_EQ(m.RequestCount(), 3u);
    EXPECT_EQ(m.UnhandledCount(), 3u);
    EXPECT_EQ(Bytes(m.Ram().begin(), m.Ram().end()), ram);
}

TEST(MeterModel, ServiceCommandsAreRemembered) {
    MeterModel m;
    Ask(m, 0x50, {0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(m.Service().password, 0x12345678u);
    Bytes time(20);
    for (std::size_t i = 0; i < time.size(); ++i) time[i] = static_cast<std::uint8_t>(i + 1);
    EXPECT_EQ(Ask(m, 0x51, time).bytes.size(), 1u);
    EXPECT_TRUE(std::equal(time.begin(), time.end(), m.Service().time.begin()));
    Ask(m, 0x53, {0x0D});
    EXPECT_EQ(m.Service().lastKey, 0x0D);
    const Bytes display = Payload(Ask(m, 0x54, {}).bytes);
    EXPECT_EQ(std::string(display.begin(), display.end()), m.Service().display);
}

TEST(MeterModel, ContentFollowsTheSeed) {
    MeterConfig a, b;
    b.seed = 32;
    MeterModel m1(a), m2(a), m3(b);
    EXPECT_TRUE(std::ranges::equal(m1.Ram(), m2.Ram()));
    EXPECT_TRUE(std::ranges::equal(m1.Flash(), m2.Flash()));
    EXPECT_EQ(m1.Identity().Encode(), m2.Identity().Encode());
    EXPECT_FALSE(std::ranges::equal(m1.Ram(), m3.Ram()));
    EXPECT_FALSE(std::ranges::equal(m1.Flash(), m3.Flash()));
    // The structures are there whatever the seed.
    EXPECT_EQ(m3.Memory().ReadU16(MemoryArea::Flash, kRamPointerFlashAddress + 2 * kPtrLastMeasureWord),
              kLastMeasureAddress);
}

TEST(MeterModel, HandlersCanBeAddedAndReplaced) {
    MeterModel m;
    m.SetHandler(0x80, [](MeterModel& meter, const MeterRequest& r) {
        return MeterResponse::Data(Bytes{r.data[0], meter.Address()});
    });
    EXPECT_EQ(Payload(Ask(m, 0x80, {0x42}).bytes), (Bytes{0x42, kDefaultMeterAddress}));
    m.SetHandler(0x0F, nullptr);
    EXPECT_TRUE(Ask(m, 0x0F, {}).bytes.empty());
}

}  // namespace
}  // namespace q31::sim
