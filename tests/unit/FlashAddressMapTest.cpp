// The meter's flash memory map: its defaults, a meter's own map laid over
// it, and the one table every heat-meter component reads its addresses from.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "meter/FlashAddressMap.h"
#include "tests/unit/MeterHarness.h"

namespace q31::test {
namespace {

using Map = std::vector<std::uint32_t>;

Map Snapshot() { return Map(FlashAddressMap, FlashAddressMap + kFlashAddressCount); }

class FlashMap : public ::testing::Test {
protected:
    // The table belongs to the whole process: every test leaves the defaults.
    void SetUp() override { SetFlashAddressDefault(); }
    void TearDown() override { SetFlashAddressDefault(); }
};

TEST_F(FlashMap, DefaultsAreTheMetersUsualLayout) {
    const std::pair<int, std::uint32_t> expected[] = {
        {0, 0},
        {1, 1},
        {AddrRAMPointer, 16},
        {AddrBase, 256},
        {4, 768},
        {9, 768 + 5 * 512},
        {10, 3840},
        {16, 3840 + 192},
        {19, 4608},
        {25, 5120 + 2560},
        {AddrEditCounter, 8192},
        {AddrSummDay, 8448},
        {AddrAllSumm, 9472},
        {AddrArhives, 10496},
        {30, 10752},
        {31, 17424},
        {42, 31680 + 5 * 4488},
        {96, 272976 + 5 * 1320},
        {114, 321288},
        {152, 409728 + 4488},
        {155, 423456},
        {156, 427936},
        {164, 430312 + 7 * 2376},
        {172, 449320 + 7 * 2376},
        {AddrErrorLog, 468328},
        {AddrEditLog, 476248},
    };
    for (const auto& [entry, value] : expected) EXPECT_EQ(FlashAddressMap[entry], value) << "entry " << entry;
}

TEST_F(FlashMap, AMetersRecordPlacesItsAreasAndLeavesTheFixedEntries) {
    const Map before = Snapshot();
    SDevQ31 d{};
    d.Area2 = 4096;
    SetFlashAddress(&d);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(FlashAddressMap[37 + k], 4096u + 4488u * k) << k;
    for (int e = 0; e <= 30; ++e) {
        if (e == AddrBase) continue;
        EXPECT_EQ(FlashAddressMap[e], before[e]) << "entry " << e << " is not the record's";
    }
    EXPECT_EQ(FlashAddressMap[AddrBase], 0u);
    EXPECT_EQ(FlashAddressMap[31], 0u) << "every group is filled, from zero when its field is zero";
    EXPECT_EQ(FlashAddressMap[165 + 7], 7u * 2376);
    EXPECT_EQ(FlashAddressMap[AddrErrorLog], 0u);
}

TEST_F(FlashMap, TheBaseIsAddedToEveryPlacedAddress) {
    SDevQ31 d{};
    d.Base = 256;
    d.ErrorLog = 0xFFFF;
    d.EditLog = 0x0010;
    d.Area0 = 5;
    d.Area11 = 1000;
    d.Area25 = 0xFFFFFFFF;  // unsigned arithmetic wraps
    std::memset(d.Unused, 0xEE, sizeof d.Unused);
    SetFlashAddress(&d);
    EXPECT_EQ(FlashAddressMap[AddrErrorLog], 0xFFFFu + 256) << "a log sits below 65536 + Base at most";
    EXPECT_EQ(FlashAddressMap[AddrEditLog], 0x10u + 256);
    EXPECT_EQ(FlashAddressMap[AddrBase], 256u) << "the base itself as it is";
    EXPECT_EQ(FlashAddressMap[155], 261u);
    EXPECT_EQ(FlashAddressMap[157 + 7], 1000u + 256 + 7 * 2376);
    EXPECT_EQ(FlashAddressMap[153], 255u);
    EXPECT_EQ(FlashAddressMap[154], 255u + 2376);
}

TEST_F(FlashMap, DefaultsComeBackWhole) {
    const Map defaults = Snapshot();
    SDevQ31 d;
    std::memset(&d, 0x5C, sizeof d);
    SetFlashAddress(&d);
    ASSERT_NE(Snapshot(), defaults);
    SetFlashAddress(nullptr);
    TPublicNetKs_6x6::SetFlashAddressDefault();
    EXPECT_EQ(Snapshot(), defaults);
    EXPECT_EQ(FlashAddressMap[AddrBase], 256u);
}

TEST_F(FlashMap, EveryComponentReadsTheOneMapWhenEachPacketGoesOut) {
    MeterHarness a;
    MeterHarness b;
    SDevQ31 d{};
    d.Base = 0x20;
    d.ErrorLog = 0x1000;
    d.EditLog = 0x3000;
    a.meter.SetFlashAddress(&d);

    b.meter.ClearHead();
    Bytes p = b.NextPacket();
    ASSERT_EQ(p.size(), 11u + 16);
    EXPECT_EQ(PacketAddress(p), 0x1020u) << "a map set through one component moves the other's packets";

    // Changed while the clear runs: its next packet already follows the new map.
    d.ErrorLog = 0x2000;
    a.meter.SetFlashAddress(&d);
    ASSERT_TRUE(b.Reply({0x06}));
    p = b.NextPacket();
    ASSERT_EQ(p.size(), 11u + 12);
    EXPECT_EQ(PacketAddress(p), 0x2020u + 1040);
}

}  // namespace
}  // namespace q31::test
