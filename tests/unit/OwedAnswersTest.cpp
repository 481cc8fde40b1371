// The answers the meter may still send, on a clock given by hand (µs).
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

TEST(OwedAnswers, WhatThePacketBeforeStillOwesAreStraysKnownByItsAnswer) {
    OwedAnswers owed;
    owed.Sent(0, kBound);        // timed out
    owed.Sent(110'000, kBound);  // the re-send
    owed.Paid();                 // one frame taken: the other send's answer may still come
    EXPECT_EQ(owed.NextPacket(true), 0) << "known, in the first place";
    EXPECT_TRUE(owed.KnownAt(0, 309'999));
    EXPECT_FALSE(owed.KnownAt(0, 310'000)) << "past the re-send's bound";
    EXPECT_EQ(owed.Known(120'000), 1);
    EXPECT_EQ(owed.Own(120'000), 0);
    // A stray read off pays nothing: a meter may send an answer twice, so
    // copies may come until the bound, however many came.
    EXPECT_EQ(owed.Strays(200'000), 1);
    // An unanswered (abandoned) packet's strays are unknown. Confirming
    // replies that disagree pay nothing: one may be a stray, or the same
    // answer cut short, so no earlier debt is taken off.
    owed.Sent(130'000, kBound);
    EXPECT_EQ(owed.NextPacket(false), -1);
    EXPECT_EQ(owed.Unknown(140'000), 1);
    owed.Sent(140'000, kBound);
    owed.Paid();
    owed.Unpaid();
    EXPECT_EQ(owed.Strays(150'000), 2) << "both earlier packets' answers may still come";
    EXPECT_EQ(owed.Own(150'000), 1) << "the packet's own answer is still to come";
}

TEST(OwedAnswers, EachDebtKeepsItsOwnBoundAndItsOwnKnownAnswer) {
    OwedAnswers owed;
    owed.Sent(0, kBound);
    owed.NextPacket(true);  // A's answer owed until 200 ms, known
    for (Micros at = 50'000; at < 400'000; at += 50'000) {
        owed.Sent(at, kBound);  // a busy line of packets answered at once
        owed.Paid();
        owed.NextPacket(true);
        EXPECT_EQ(owed.Strays(at), at < 200'000 ? 1 : 0) << "later traffic keeps no debt alive, at " << at;
    }
    owed.Sent(500'000, kBound);
    const int b = owed.NextPacket(true);  // B's, known
    owed.Sent(510'000, kBound);
    const int c = owed.NextPacket(true);  // C's, known in a place of its own
    EXPECT_NE(b, c);
    EXPECT_TRUE(owed.KnownAt(b, 520'000));
    EXPECT_TRUE(owed.KnownAt(c, 520'000));
    EXPECT_EQ(owed.Known(520'000), 2);
    for (Micros at = 520'000; at < 560'000; at += 10'000) {
        owed.Sent(at, kBound);
        owed.NextPacket(false);  // more debts than places: the newest place takes them, unknown
    }
    EXPECT_EQ(owed.Known(560'000) + owed.Unknown(560'000), 6);
    EXPECT_GE(owed.Unknown(560'000), 4);
    owed.Extend(900'000);
    EXPECT_EQ(owed.Until(), 900'000);
    owed.KeepOne(950'000);
    EXPECT_EQ(owed.Own(949'999), 1) << "a late answer taken keeps one owed";
}

}  // namespace
}  // namespace q31::test
