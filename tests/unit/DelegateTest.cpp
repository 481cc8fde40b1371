#include "runtime/Delegate.h"

#include <gtest/gtest.h>

namespace q31 {
namespace {

struct Counter {
    int total = 0;
    void Add(int n) { total += n; }
    void Sub(int n) { total -= n; }
};

TEST(Delegate, EmptyIsUnassignedAndBoundCallsItsObject) {
    Delegate<void(int)> d;
    EXPECT_FALSE(d);
    Counter a, b;
    d = Delegate<void(int)>::Bind<&Counter::Add>(&a);
    ASSERT_TRUE(d);
    d(5);
    EXPECT_EQ(a.total, 5);
    EXPECT_EQ(b.total, 0);
    static_assert(sizeof(d) == 2 * sizeof(void*), "an object and a routine, nothing more");
}

TEST(Delegate, EqualOnlyForSameObjectAndRoutine) {
    Counter a, b;
    auto addA = Delegate<void(int)>::Bind<&Counter::Add>(&a);
    EXPECT_EQ(addA, (Delegate<void(int)>::Bind<&Counter::Add>(&a)));
    EXPECT_NE(addA, (Delegate<void(int)>::Bind<&Counter::Add>(&b)));
    EXPECT_NE(addA, (Delegate<void(int)>::Bind<&Counter::Sub>(&a)));
    EXPECT_NE(addA, Delegate<void(int)>());
    addA.Clear();
    EXPECT_EQ(addA, Delegate<void(int)>());
}

}  // namespace
}  // namespace q31
