// The wire-time arithmetic of a paced line, against figures worked out by hand.
#include <gtest/gtest.h>

#include "sim/WireTiming.h"

namespace q31::sim {
namespace {

using std::chrono::nanoseconds;

TEST(WireTiming, UnpacedLineTakesNoTime) {
    const WireTiming off;
    EXPECT_FALSE(off.Paced());
    EXPECT_EQ(off.Time(1), nanoseconds(0));
    EXPECT_EQ(off.Time(1000), nanoseconds(0));
}

TEST(WireTiming, CountsStartDataParityAndStopBits) {
    EXPECT_EQ(WireTiming(9600).BitsPerByte(), 10u);                   // 8N1
    EXPECT_EQ(WireTiming(9600, Parity::Even, 1).BitsPerByte(), 11u);  // 8E1
    EXPECT_EQ(WireTiming(9600, Parity::Odd, 1).BitsPerByte(), 11u);   // 8O1
    EXPECT_EQ(WireTiming(9600, Parity::None, 2).BitsPerByte(), 11u);  // 8N2
    EXPECT_EQ(WireTiming(9600, Parity::Even, 2).BitsPerByte(), 12u);  // 8E2
}

TEST(WireTiming, ByteTimesRoundUpToTheNanosecond) {
    // 10 / 9600 s = 1 041 666.67 ns
    EXPECT_EQ(WireTiming(9600).ByteTime(), nanoseconds(1041667));
    // 12 / 9600 s = 1.25 ms exactly
    EXPECT_EQ(WireTiming(9600, Parity::Even, 2).ByteTime(), nanoseconds(1250000));
    // 10 / 115200 s = 86 805.56 ns
    EXPECT_EQ(WireTiming(115200).ByteTime(), nanoseconds(86806));
    // 11 / 4800 s = 2 291 666.67 ns
    EXPECT_EQ(WireTiming(4800, Parity::Odd, 1).ByteTime(), nanoseconds(2291667));
}

TEST(WireTiming, PacketTimeIsRoundedOnceNotPerByte) {
    // The identification reply, 19 bytes 8N1 at 9600: 190 / 9600 s = 19 791 666.67 ns.
    EXPECT_EQ(WireTiming(9600).Time(19), nanoseconds(19791667));
    // 960 bytes 8N1 at 9600 are exactly one second; per-byte rounding would add 320 ns.
    EXPECT_EQ(WireTiming(9600).Time(960), nanoseconds(1000000000));
    // 6 bytes 8E2 at 2400: 72 / 2400 s = 30 ms.
    EXPECT_EQ(WireTiming(2400, Parity::Even, 2).Time(6), nanoseconds(30000000));
    EXPECT_EQ(WireTiming(9600).Time(0), nanoseconds(0));
}

}  // namespace
}  // namespace q31::sim
