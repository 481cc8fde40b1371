// The answers the meter may still send, on a clock given by hand (ms as µs).
#include <gtest/gtest.h>

#include "link/OwedAnswers.h"

namespace q31::test {
namespace {

constexpr Micros kBound = 200'000;  // two time-outs of 100 ms

TEST(OwedAnswers, ASendOwesItsAnswerUntilPaidOrPastTheBound) {
    OwedAnswers owed;
    owed.Sent(0, kBound);
    EXPECT_EQ(owed.Own(199'999), 1);
    EXPECT_EQ(owed.Own(200'000), 0) << "past the bound nothing comes";
    owed.Sent(300'000, kBound);
    owed.Paid();
    EXPECT_FALSE(owed.Any(300'001));
    owed.Paid();
    EXPECT_FALSE(owed.Any(300'001)) << "a frame with nothing owed pays nothing";
}

TEST(OwedAnswers, WhatThePacketBeforeStillOwesAreStrays) {
    OwedAnswers owed;
    owed.Sent(0, kBound);        // timed out
    owed.Sent(110'000, kBound);  // the re-send
    owed.Paid();                 // one frame taken: the other send's answer may still come
    owed.NextPacket();
    EXPECT_EQ(owed.Strays(120'000), 1);
    EXPECT_EQ(owed.Own(120'000), 0);
    owed.Sent(120'000, kBound);
    owed.Paid();
    owed.WasStray();  // the two confirming replies disagreed: one was the stray
    EXPECT_EQ(owed.Strays(130'000), 0);
    EXPECT_EQ(owed.Own(130'000), 1) << "the packet's own answer is still to come";
    EXPECT_EQ(owed.Until(), 320'000) << "the later send's bound";
}

TEST(OwedAnswers, LateBytesExtendTheWaitAndAPaidDebtHoldsNothingUp) {
    OwedAnswers owed;
    owed.Sent(0, 5'000'000);  // under a long time-out
    owed.Paid();
    owed.Extend(9'000'000);
    EXPECT_EQ(owed.Until(), 5'000'000) << "nothing owed: nothing to extend";
    owed.Sent(1'000'000, kBound);
    EXPECT_EQ(owed.Until(), 1'200'000) << "a debt starts afresh";
    owed.NextPacket();
    owed.Extend(1'500'000);
    EXPECT_EQ(owed.Strays(1'400'000), 1);
    owed.StraySeen();
    EXPECT_FALSE(owed.Any(1'400'000));
    owed.KeepOne(1'600'000);
    EXPECT_EQ(owed.Own(1'599'999), 1) << "a late answer taken keeps one owed";
}

}  // namespace
}  // namespace q31::test
