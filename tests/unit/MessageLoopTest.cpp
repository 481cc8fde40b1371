// Timers and hand-overs of the main-thread loop, on a manual clock.
#include <gtest/gtest.h>

#include <thread>

#include "runtime/MessageLoop.h"
#include "runtime/TTimer.h"

namespace q31 {
namespace {

void Count(void* counter) { ++*static_cast<int*>(counter); }

struct Ticks {
    int count = 0;
    std::vector<Micros> at;
    MessageLoop* loop = nullptr;
    void Fire() {
        ++count;
        at.push_back(loop->Now());
    }
};

class Loop : public ::testing::Test {
protected:
    ManualClock clock;
    MessageLoop loop{&clock};
};

TEST_F(Loop, TimerFiresEveryIntervalWhileEnabled) {
    TTimer t(loop, 10, false);
    Ticks ticks{0, {}, &loop};
    t.OnTimer = Delegate<void()>::Bind<&Ticks::Fire>(&ticks);
    loop.Tick(50'000);
    EXPECT_EQ(ticks.count, 0) << "disabled";
    t.SetEnabled(true);
    loop.Tick(35'000);
    EXPECT_EQ(ticks.at, (std::vector<Micros>{60'000, 70'000, 80'000}));
    t.SetEnabled(true);  // already enabled: no restart
    loop.Tick(5'000);
    EXPECT_EQ(ticks.count, 4);
    t.SetInterval(20);  // restarts from now
    loop.Tick(19'000);
    EXPECT_EQ(ticks.count, 4);
    loop.Tick(1'000);
    EXPECT_EQ(ticks.count, 5);
    t.SetEnabled(false);
    loop.Tick(100'000);
    EXPECT_EQ(ticks.count, 5);
}

TEST_F(Loop, ZeroIntervalNeverFires) {
    TTimer t(loop, 0, true);
    Ticks ticks{0, {}, &loop};
    t.OnTimer = Delegate<void()>::Bind<&Ticks::Fire>(&ticks);
    loop.Tick(10'000);
    EXPECT_EQ(loop.RunPending(), 0);
    EXPECT_EQ(ticks.count, 0);
}

TEST_F(Loop, OneShotTimersFireInDueOrder) {
    struct Order {
        std::string seen;
        TTimer* a;
        TTimer* b;
        void A() {
            seen += "a";
            a->SetEnabled(false);
        }
        void B() {
            seen += "b";
            b->SetEnabled(false);
        }
    };
    TTimer a(loop, 7, false), b(loop, 3, false);
    Order o{"", &a, &b};
    a.OnTimer = Delegate<void()>::Bind<&Order::A>(&o);
    b.OnTimer = Delegate<void()>::Bind<&Order::B>(&o);
    a.SetEnabled(true);
    b.SetEnabled(true);
    loop.Tick(10'000);
    EXPECT_EQ(o.seen, "ba");
}

TEST_F(Loop, HandoverFromWorkerRunsOnPumpingThread) {
    struct Target {
        std::thread::id ranOn;
        int runs = 0;
        void Run() {
            ranOn = std::this_thread::get_id();
            ++runs;
        }
    } target;
    Handover h;
    h.OnHandover = Delegate<void()>::Bind<&Target::Run>(&target);
    std::thread worker([&] {
        loop.Post(h);
        loop.Post(h);  // queued once at a time
    });
    worker.join();
    EXPECT_EQ(target.runs, 0) << "nothing runs until the loop is pumped";
    EXPECT_EQ(loop.Pump(0), 1);
    EXPECT_EQ(target.runs, 1);
    EXPECT_EQ(target.ranOn, std::this_thread::get_id());
}

TEST_F(Loop, WithdrawnHandoverNeverRuns) {
    int runs = 0;
    Handover h;
    h.OnHandover = Delegate<void()>::BindFree<&Count>(&runs);
    loop.Post(h);
    loop.Withdraw(h);
    EXPECT_EQ(loop.RunPending(), 0);
    EXPECT_EQ(runs, 0);
}

TEST(RealLoop, PumpWaitsForTimerDue) {
    MessageLoop loop;
    TTimer t(loop, 20, true);
    int fired = 0;
    t.OnTimer = Delegate<void()>::BindFree<&Count>(&fired);
    const Micros start = loop.Now();
    EXPECT_EQ(loop.Pump(500), 1);
    const Micros waited = loop.Now() - start;
    EXPECT_GE(waited, 19'000);
    EXPECT_LT(waited, 200'000);
    EXPECT_EQ(fired, 1);
}

}  // namespace
}  // namespace q31
