// A host's mistakes with session handles: a second close, requests after
// close, a pointer that was never a session. Each is refused with
// Q31_ERR_SESSION and touches nothing, and a live session goes on as usual.
#include <algorithm>

#include "tests/session/SessionHarness.h"

namespace q31::test {
namespace {

constexpr std::uint8_t kId = 0x0F;

void Q31_CALL CountTrace(const TQ31TraceEvent*, void* user) { ++*static_cast<int*>(user); }

TEST(SessionHandles, ClosedUnknownAndNullSessionsAreRefusedAndLeftUntouched) {
    Line line;
    ASSERT_TRUE(line.Open(Config(310001, 31, 6, 2000)));
    const q31_options o = Options(200, 3);
    const SDevIdent dev = line.Ident();
    q31_session* closed = q31_session_open(line.port, &o);
    ASSERT_NE(closed, nullptr);
    Outcome dropped;
    ASSERT_EQ(q31_get_current_data(closed, &dev, &OnRecord<SCurrentData>, &dropped), Q31_OK);
    EXPECT_EQ(q31_session_close(closed), Q31_OK);
    EXPECT_EQ(q31_session_close(closed), Q31_ERR_SESSION) << "a second close";

    // A newer session may be given the closed one's memory; the old handle
    // still names nothing.
    q31_session* live = q31_session_open(line.port, &o);
    ASSERT_NE(live, nullptr);
    EXPECT_NE(live, closed);
    unsigned char stray[256];
    std::fill(std::begin(stray), std::end(stray), 0xA5);
    int traced = 0;
    for (q31_session* bad : {closed, reinterpret_cast<q31_session*>(stray), static_cast<q31_session*>(nullptr)}) {
        Outcome never;
        EXPECT_EQ(q31_get_id(bad, &OnRecord<SDevIdent>, &never), Q31_ERR_SESSION);
        EXPECT_EQ(q31_get_module_count(bad, &dev, &OnCount, &never), Q31_ERR_SESSION);
        EXPECT_EQ(q31_get_archive_series(bad, &dev, static_cast<q31_series>(99), 1, 0, &OnSeries, &never),
                  Q31_ERR_SESSION)
            << "the session is judged before the series";
        EXPECT_EQ(q31_cancel(bad), Q31_ERR_SESSION);
        EXPECT_EQ(q31_session_set_trace(bad, &CountTrace, &traced), Q31_ERR_SESSION);
        EXPECT_EQ(q31_session_close(bad), Q31_ERR_SESSION);
    }
    EXPECT_TRUE(std::all_of(std::begin(stray), std::end(stray), [](unsigned char b) { return b == 0xA5; }));

    // The live session was not disturbed, and the closed one's request went
    // no further than its identification and never called back.
    Outcome id;
    ASSERT_EQ(q31_session_set_trace(live, &CountTrace, &traced), Q31_OK);
    ASSERT_EQ(q31_get_id(live, &OnRecord<SDevIdent>, &id), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return id.calls > 0; }));
    EXPECT_EQ(id.result.status, Q31_OK);
    EXPECT_EQ(id.result.found_serial, 310001u);
    EXPECT_GT(traced, 0);
    const auto commands = line.Commands();
    EXPECT_FALSE(commands.empty());
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kId), static_cast<std::ptrdiff_t>(commands.size()));
    EXPECT_EQ(dropped.calls, 0);
    EXPECT_EQ(q31_session_close(live), Q31_OK);
    EXPECT_EQ(q31_session_close(live), Q31_ERR_SESSION);
}

}  // namespace
}  // namespace q31::test
