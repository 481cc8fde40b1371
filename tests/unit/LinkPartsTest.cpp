// The engine's small parts: the reply held for confirmation, the answer kept
// to know its late copies, and the plan of a wait for a quiet line.
#include <gtest/gtest.h>

#include <cstdint>

#include "link/HeldReply.h"
#include "link/KeptAnswer.h"
#include "link/SettlePlan.h"

namespace q31 {
namespace {

TEST(HeldReply, AgreesOnlyWithTheSameBytesOfTheSameLength) {
    HeldReply held;
    const std::uint8_t first[] = {0x04, 0x11, 0x22, 0x33, 0x44};
    EXPECT_FALSE(held.Agrees(first, 5)) << "nothing held yet";
    held.Hold(first, 5);
    const std::uint8_t same[] = {0x04, 0x11, 0x22, 0x33, 0x44};
    const std::uint8_t flipped[] = {0x04, 0x11, 0x23, 0x33, 0x44};
    EXPECT_TRUE(held.Agrees(same, 5));
    EXPECT_FALSE(held.Agrees(flipped, 5));
    EXPECT_FALSE(held.Agrees(same, 4)) << "a shorter reply is another reply";
    held.Drop();
    EXPECT_FALSE(held.Agrees(same, 5)) << "a dropped reply agrees with nothing";
    EXPECT_FALSE(held.Held());
}

TEST(KeptAnswer, KnowsItsCopiesWholeCutShortOrLonger) {
    // C9 L=4 payload 01 02 03 04, further byte 00, checksum 2 bytes.
    const std::uint8_t kept[] = {0xC9, 0x04, 0x01, 0x02, 0x03, 0x04, 0x00, 0xAA, 0xBB};
    KeptAnswer answer;
    EXPECT_FALSE(answer.Copied(kept, 9, true)) << "nothing kept yet";
    answer.Keep(kept, 9);
    EXPECT_TRUE(answer.Copied(kept, 9, true));
    const std::uint8_t cut[] = {0xC9, 0x02, 0x01, 0x02, 0x00, 0x12, 0x34};
    const std::uint8_t longer[] = {0xC9, 0x06, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x56, 0x78};
    const std::uint8_t other[] = {0xC9, 0x02, 0x01, 0x07, 0x00, 0x12, 0x34};
    const std::uint8_t otherAddress[] = {0xCA, 0x02, 0x01, 0x02, 0x00, 0x12, 0x34};
    EXPECT_TRUE(answer.Copied(cut, 7, true));
    EXPECT_TRUE(answer.Copied(longer, 11, true));
    EXPECT_FALSE(answer.Copied(other, 7, true));
    EXPECT_FALSE(answer.Copied(otherAddress, 7, true));
    EXPECT_FALSE(answer.Copied(cut, 7, false)) << "a fixed frame is a copy only whole";
    const std::uint8_t empty[] = {0xC9, 0x00, 0x00, 0x12, 0x34};
    EXPECT_FALSE(answer.Copied(empty, 5, true)) << "no payload shared, nothing known";
}

TEST(SettlePlan, WaitsForQuietAndTheOwedBoundWithinTheCap) {
    SettlePlan plan;
    // At 1000 µs: owed answers until 5000, a quiet of 300, a cap of 20000.
    EXPECT_EQ(plan.Start(1000, 5000, 300, 20000, true), 4000);
    EXPECT_EQ(plan.Left(3000, 0), 2000) << "the owed bound is still ahead";
    plan.ByteSeen(9000);  // a late answer came: those behind it may come until 9000
    EXPECT_EQ(plan.Left(5000, 4900), 4000);
    EXPECT_EQ(plan.Left(9000, 8800), 100) << "the bound is past, the quiet not yet";
    EXPECT_EQ(plan.Left(9100, 8800), 0);
    EXPECT_EQ(plan.Left(20900, 20899), 100) << "the cap bounds every wait";
    EXPECT_EQ(plan.Left(21000, 20999), 0);

    // A tail wait: bytes do not move the bound, only the quiet.
    EXPECT_EQ(plan.Start(0, 0, 300, 20000, false), 300);
    plan.ByteSeen(9000);
    EXPECT_EQ(plan.Left(400, 200), 100);
    EXPECT_EQ(plan.Left(500, 200), 0);
}

}  // namespace
}  // namespace q31
