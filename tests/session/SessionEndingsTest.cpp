// How a session's request ends when it does not simply succeed: the send
// limit, another meter on the line, a port that cannot be written, an
// archive start past the newest record, and the refusals that send nothing.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "platform/MessageBox.h"
#include "tests/session/SessionHarness.h"

namespace q31::test {
namespace {

constexpr std::uint8_t kId = 0x0F, kFlashLarge = 0x31, kReadRam = 0x10;

std::string g_messages;
void RecordMessage(const char* text, const char*, unsigned) { g_messages += text; }

class SessionEndings : public ::testing::Test {
protected:
    void SetUp() override {
        g_messages.clear();
        ::SetMessageBoxHandler(&RecordMessage);
    }
    void TearDown() override { ::SetMessageBoxHandler(nullptr); }
    void Open(const sim::MeterConfig& config, int timeoutMs, int sendLimit) {
        ASSERT_TRUE(line.Open(config));
        const q31_options o = Options(timeoutMs, sendLimit);
        session.reset(q31_session_open(line.port, &o));
        ASSERT_NE(session, nullptr);
    }
    Line line;
    SessionPtr session;
};

TEST_F(SessionEndings, SendLimitEndsWithNoAnswerAfterLimitPlusOneSends) {
    Open(Config(310001, 31, 6, 2000), 100, 2);
    line.meter->WithModel([](sim::MeterModel& m) { m.InjectNext(sim::Fault{sim::FaultKind::Silence}, 100); });
    const SDevIdent dev = line.Ident();
    Outcome silent;
    ASSERT_EQ(q31_get_module_count(session.get(), &dev, &OnCount, &silent), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return silent.calls > 0; }));
    EXPECT_EQ(silent.result.status, Q31_NO_ANSWER);
    EXPECT_EQ(silent.result.expected_serial, 310001u);
    EXPECT_EQ(silent.result.found_serial, 0u) << "nobody identified itself";
    EXPECT_TRUE(silent.data.empty());

    // The next request shows on the line right behind the three sends: no
    // further re-send of the abandoned packet came between.
    line.meter->WithModel([](sim::MeterModel& m) { m.ClearFaults(); });
    Outcome current;
    ASSERT_EQ(q31_get_current_data(session.get(), &dev, &OnRecord<SCurrentData>, &current), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return current.calls > 0; }));
    EXPECT_EQ(current.result.status, Q31_OK);
    EXPECT_EQ(line.Commands(), (std::vector<std::uint8_t>{kId, kId, kId, kId, kFlashLarge, kReadRam}));
    EXPECT_EQ(silent.calls, 1);
}

TEST_F(SessionEndings, NoSerialIsFoundWhenAMeterThatAnsweredBeforeFallsSilent) {
    Open(Config(310001, 31, 6, 2000), 100, 1);
    const SDevIdent dev = line.Ident();
    Outcome answered[2], silent[2];
    const auto run = [&](Outcome* o) {
        ASSERT_EQ(q31_get_module_count(session.get(), &dev, &OnCount, &o[0]), Q31_OK);
        ASSERT_TRUE(PumpUntil([&] { return o[0].calls > 0; }));
        ASSERT_EQ(q31_get_id(session.get(), &OnRecord<SDevIdent>, &o[1]), Q31_OK);
        ASSERT_TRUE(PumpUntil([&] { return o[1].calls > 0; }));
    };
    run(answered);
    EXPECT_EQ(answered[0].result.found_serial, 310001u);
    EXPECT_EQ(answered[1].result.found_serial, 310001u);
    line.meter->WithModel([](sim::MeterModel& m) { m.InjectNext(sim::Fault{sim::FaultKind::Silence}, 100); });
    run(silent);
    for (const Outcome& o : silent) {
        EXPECT_EQ(o.result.status, Q31_NO_ANSWER);
        EXPECT_EQ(o.result.found_serial, 0u) << "nobody identified itself this time";
    }
    EXPECT_EQ(silent[0].result.expected_serial, 310001u);
}

TEST_F(SessionEndings, SendLimitCountsEachPacketAfresh) {
    // Two silent replies to each of the request's three packets: within a
    // limit of two re-sends per packet, though six in all.
    Open(Config(310001, 31, 6, 2000), 100, 2);
    line.meter->WithModel([](sim::MeterModel& m) {
        for (std::uint64_t n : {1, 2, 4, 5, 7, 8}) m.InjectAt(n, sim::Fault{sim::FaultKind::Silence});
    });
    const SDevIdent dev = line.Ident();
    Outcome current;
    ASSERT_EQ(q31_get_current_data(session.get(), &dev, &OnRecord<SCurrentData>, &current), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return current.calls > 0; }));
    EXPECT_EQ(current.result.status, Q31_OK);
    EXPECT_EQ(line.Commands(), (std::vector<std::uint8_t>{kId, kId, kId, kFlashLarge, kFlashLarge, kFlashLarge,
                                                          kReadRam, kReadRam, kReadRam}));
}

TEST_F(SessionEndings, UnlimitedSendsKeepAskingUntilCancelled) {
    Open(Config(310001, 31, 6, 2000), 50, Q31_SEND_UNLIMITED);
    line.meter->WithModel([](sim::MeterModel& m) { m.InjectNext(sim::Fault{sim::FaultKind::Silence}, 1000); });
    const SDevIdent dev = line.Ident();
    Outcome silent;
    ASSERT_EQ(q31_get_module_count(session.get(), &dev, &OnCount, &silent), Q31_OK);
    // Twice the default limit's sends, and still no end.
    ASSERT_TRUE(PumpUntil([&] { return line.meter->RequestCount() >= 2 * (Q31_DEFAULT_SEND_LIMIT + 1); }));
    EXPECT_EQ(silent.calls, 0);
    EXPECT_EQ(q31_get_id(session.get(), &OnRecord<SDevIdent>, &silent), Q31_ERR_BUSY);
    EXPECT_EQ(q31_cancel(session.get()), Q31_OK);

    line.meter->WithModel([](sim::MeterModel& m) { m.ClearFaults(); });
    Outcome id;
    ASSERT_EQ(q31_get_id(session.get(), &OnRecord<SDevIdent>, &id), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return id.calls > 0; }));
    EXPECT_EQ(id.result.status, Q31_OK);
    EXPECT_EQ(id.result.found_serial, 310001u);
    EXPECT_EQ(silent.calls, 0) << "a cancelled request never calls back";
}

TEST_F(SessionEndings, OtherMeterReportsBothSerialNumbersAndNoMessage) {
    Open(Config(777001, 31, 6, 2000), 100, 3);
    SDevIdent expected = line.Ident();
    expected.SerialNumber = 0x80000001u;
    Outcome other;
    ASSERT_EQ(q31_get_accumulated_data(session.get(), &expected, &OnRecord<SAccumulatedData>, &other), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return other.calls > 0; }));
    EXPECT_EQ(other.result.status, Q31_OTHER_METER);
    EXPECT_EQ(other.result.expected_serial, 0x80000001u);
    EXPECT_EQ(other.result.found_serial, 777001u);
    EXPECT_TRUE(other.data.empty());
    EXPECT_EQ(g_messages, "");

    // Its own reads never went out: the next request follows the identification.
    Outcome id;
    ASSERT_EQ(q31_get_id(session.get(), &OnRecord<SDevIdent>, &id), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return id.calls > 0; }));
    EXPECT_EQ(line.Commands(), (std::vector<std::uint8_t>{kId, kId}));
    SDevIdent got;
    std::memcpy(&got, id.data.data(), sizeof got);
    EXPECT_EQ(got.SerialNumber, 777001u);
    EXPECT_EQ(got.DevType, 5120);
}

TEST_F(SessionEndings, StartPastNewestRecordEndsWithoutMessage) {
    Open(Config(310001, 31, 6, 500), 100, 3);
    const SDevIdent dev = line.Ident();
    Outcome beyond, empty;
    beyond.then = [&] {
        EXPECT_EQ(q31_get_archive_series(session.get(), &dev, Q31_SERIES_T_HOUR, 1, 500, &OnSeries, &empty), Q31_OK);
    };
    ASSERT_EQ(q31_get_archive_series(session.get(), &dev, Q31_SERIES_T_HOUR, 1, 501, &OnSeries, &beyond), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return empty.calls > 0; }));
    EXPECT_EQ(beyond.result.status, Q31_BEYOND_NEWEST);
    EXPECT_EQ(empty.result.status, Q31_OK);
    EXPECT_EQ(empty.count, 0u) << "a start at the counter has nothing to fetch";
    EXPECT_EQ(empty.size, 4u);
    EXPECT_EQ(g_messages, "");
}

TEST_F(SessionEndings, PortThatCannotBeWrittenEndsWithPortError) {
    const int readOnly = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(readOnly, 0);
    const q31_options o = Options(100, Q31_SEND_UNLIMITED);
    SessionPtr broken(q31_session_open(readOnly, &o));
    ASSERT_NE(broken, nullptr);
    Outcome id;
    ASSERT_EQ(q31_get_id(broken.get(), &OnRecord<SDevIdent>, &id), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return id.calls > 0; }));
    EXPECT_EQ(id.result.status, Q31_PORT_ERROR) << "even without a send limit";
    broken.reset();
    ::close(readOnly);
}

TEST_F(SessionEndings, RefusalsSendNothing) {
    Open(Config(310001, 31, 6, 2000), 100, 3);
    SDevIdent dev = line.Ident();
    Outcome o;
    EXPECT_EQ(q31_get_module_count(nullptr, &dev, &OnCount, &o), Q31_ERR_SESSION);
    EXPECT_EQ(q31_cancel(nullptr), Q31_ERR_SESSION);
    EXPECT_EQ(q31_get_module_count(session.get(), nullptr, &OnCount, &o), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_get_module_count(session.get(), &dev, nullptr, &o), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_get_module_record(session.get(), &dev, 0, &OnRecord<SModuleRecord>, &o), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_get_module_record(session.get(), &dev, 7, &OnRecord<SModuleRecord>, &o), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_get_module_record(session.get(), &dev, 257, &OnRecord<SModuleRecord>, &o), Q31_ERR_ARGUMENT)
        << "numbers are not cut to a byte";
    EXPECT_EQ(q31_get_archive_series(session.get(), &dev, static_cast<q31_series>(12), 1, 0, &OnSeries, &o),
              Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_get_error_block_module(session.get(), &dev, 7, 1, &OnRecords, &o), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_get_error_block_module(session.get(), &dev, 6, 6, &OnRecords, &o), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_get_error_head_module(session.get(), &dev, 9, &OnWords, &o), Q31_ERR_ARGUMENT);
    dev.DevType = 5121;
    EXPECT_EQ(q31_get_error_head_module(session.get(), &dev, 9, &OnWords, &o), Q31_ERR_DEVICE_TYPE)
        << "the device type is tested before the numbers";

    // A request in flight refuses the next one.
    dev.DevType = 5120;
    ASSERT_EQ(q31_get_edit_block_module(session.get(), &dev, 8, &OnRecords, &o), Q31_OK);
    EXPECT_EQ(q31_get_error_head_device(session.get(), &dev, &OnWords, &o), Q31_ERR_BUSY);
    ASSERT_TRUE(PumpUntil([&] { return o.calls > 0; }));
    EXPECT_EQ(o.result.status, Q31_OK);
    EXPECT_EQ(o.count, 16u);
    EXPECT_EQ(o.size, 16u);
    const auto commands = line.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), kId), 1) << "only the accepted request went out";
}

TEST(SessionOptions, OutOfRangeOptionsOpenNothing) {
    q31_options o;
    q31_options_init(&o);
    EXPECT_EQ(o.slave_address, 201);
    EXPECT_EQ(o.timeout_ms, 2000);
    EXPECT_EQ(o.send_limit, Q31_DEFAULT_SEND_LIMIT);
    EXPECT_EQ(o.echo, 0);
    for (auto change : {+[](q31_options& x) { x.timeout_ms = 0; }, +[](q31_options& x) { x.slave_address = 0; },
                        +[](q31_options& x) { x.slave_address = 239; }, +[](q31_options& x) { x.send_limit = -1; }}) {
        q31_options bad = o;
        change(bad);
        EXPECT_EQ(q31_session_open(-1, &bad), nullptr);
    }
    q31_session* defaults = q31_session_open(-1, nullptr);
    EXPECT_NE(defaults, nullptr);
    EXPECT_EQ(q31_session_close(defaults), Q31_OK);
    EXPECT_EQ(q31_session_close(nullptr), Q31_ERR_SESSION);

    std::set<std::string> texts;
    for (int status = Q31_OK; status <= Q31_BEYOND_NEWEST; ++status) texts.insert(q31_strerror(status));
    EXPECT_EQ(texts.size(), 9u) << "each status has its own text";
    EXPECT_EQ(std::string(q31_strerror(Q31_NO_ANSWER)), "no answer from the meter");
    EXPECT_NE(q31_strerror(-5), nullptr);
}

TEST(SessionOptions, ReservedBytesAndConfirmationAreCheckedAndTheModeReachesTheLine) {
    q31_options o;
    q31_options_init(&o);
    EXPECT_EQ(o.confirm, Q31_CONFIRM_OFF);
    EXPECT_EQ(o.reserved[0], 0);
    EXPECT_EQ(q31_options_check(&o), Q31_OK);
    EXPECT_EQ(q31_options_check(nullptr), Q31_ERR_ARGUMENT);
    for (auto change : {+[](q31_options& x) { x.confirm = 3; }, +[](q31_options& x) { x.confirm = 255; },
                        +[](q31_options& x) { x.reserved[0] = 1; }, +[](q31_options& x) { x.timeout_ms = 0; }}) {
        q31_options bad = o;
        change(bad);
        EXPECT_EQ(q31_options_check(&bad), Q31_ERR_ARGUMENT);
        EXPECT_EQ(q31_session_open(-1, &bad), nullptr);
    }
    EXPECT_EQ(std::string(q31_strerror(Q31_ERR_SESSION)), "no such session");

    // Each mode opens a session; with every read confirmed the meter is asked
    // for its identity twice, otherwise once (the line is clean).
    for (const int confirm : {Q31_CONFIRM_OFF, Q31_CONFIRM_ALWAYS, Q31_CONFIRM_AUTO}) {
        Line line;
        ASSERT_TRUE(line.Open(Config(310001, 31, 6, 2000)));
        q31_options chosen = Options(200, 3);
        chosen.confirm = static_cast<std::uint8_t>(confirm);
        EXPECT_EQ(q31_options_check(&chosen), Q31_OK);
        SessionPtr session(q31_session_open(line.port, &chosen));
        ASSERT_NE(session, nullptr) << confirm;
        Outcome id;
        ASSERT_EQ(q31_get_id(session.get(), &OnRecord<SDevIdent>, &id), Q31_OK);
        ASSERT_TRUE(PumpUntil([&] { return id.calls > 0; }));
        EXPECT_EQ(id.result.status, Q31_OK);
        if (confirm == Q31_CONFIRM_ALWAYS) {
            EXPECT_EQ(line.Commands(), (std::vector<std::uint8_t>{kId, kId}));
        }
        if (confirm == Q31_CONFIRM_OFF) {
            EXPECT_EQ(line.Commands(), (std::vector<std::uint8_t>{kId}));
        }
    }
}

}  // namespace
}  // namespace q31::test
