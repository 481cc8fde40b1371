// The turns on a shared line: who gets it, in which order, and when a line
// that waits out late answers is handed on. The turns are scripted; the
// quiet poll runs on a manual clock.
#include <gtest/gtest.h>

#include <string>

#include "plugin/SharedLine.h"
#include "runtime/Clock.h"

namespace q31::test {
namespace {

struct Turn {
    Turn(char name, std::string& log) : name(name), log(log) {
        turn.OnTurn = Delegate<void()>::Bind<&Turn::Got>(this);
        turn.Unsettled = Delegate<bool()>::Bind<&Turn::IsUnsettled>(this);
    }
    void Got() { log += name; }
    bool IsUnsettled() { return unsettled; }

    char name;
    std::string& log;
    bool unsettled = false;
    LineTurn turn;
};

class SharedLineTurns : public ::testing::Test {
protected:
    void Advance(int ms) { loop.Tick(Micros{ms} * 1000); }

    ManualClock clock;
    MessageLoop loop{&clock};
    SharedLine line{loop};
    std::string log;  // the turns that got the line after waiting, in order
    Turn a{'A', log}, b{'B', log}, c{'C', log}, d{'D', log};
};

TEST_F(SharedLineTurns, AQuietLineIsTakenByNobodyElseAndItsOwnTurnOnlyWhenNobodyWaits) {
    ASSERT_TRUE(line.Take(a.turn));
    a.unsettled = true;
    line.Leave(a.turn);
    EXPECT_TRUE(line.Take(a.turn)) << "alone, A waits its answers out on its own link";
    line.Leave(a.turn);

    EXPECT_FALSE(line.Take(b.turn)) << "B's packet would meet A's late answer";
    EXPECT_FALSE(line.Take(a.turn)) << "A may not go ahead of B";
    Advance(20);
    EXPECT_EQ(log, "");
    a.unsettled = false;
    Advance(int{SharedLine::kQuietPollMs});
    EXPECT_EQ(log, "B");
    line.Leave(b.turn);
    EXPECT_EQ(log, "BA");
}

TEST_F(SharedLineTurns, TheLastWaiterLeavingKeepsTheQueueWhole) {
    ASSERT_TRUE(line.Take(a.turn));
    EXPECT_FALSE(line.Take(b.turn));
    EXPECT_FALSE(line.Take(c.turn));
    line.Leave(c.turn);
    EXPECT_FALSE(line.Take(d.turn));
    line.Leave(a.turn);
    line.Leave(b.turn);
    EXPECT_EQ(log, "BD");
}

TEST_F(SharedLineTurns, ClosingTheTurnALineWaitsForHandsTheLineOnAtOnce) {
    ASSERT_TRUE(line.Take(a.turn));
    EXPECT_FALSE(line.Take(b.turn));
    a.unsettled = true;
    line.Leave(a.turn);
    EXPECT_EQ(log, "");
    line.Close(a.turn);
    EXPECT_EQ(log, "B");
}

}  // namespace
}  // namespace q31::test
