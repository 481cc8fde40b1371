// The exchanges outside the request table: a scan's probe and the service
// commands send every packet once, whatever the send limit, and end with one
// callback; and the quiet bound the tools wait by.
#include <algorithm>

#include "tests/session/SessionHarness.h"

namespace q31::test {
namespace {

constexpr std::uint8_t kId = 0x0F, kSaveData = 0x80;

struct Bytes {
    int calls = 0;
    q31_result result{};
    std::vector<std::uint8_t> bytes;
};
void Q31_CALL OnBytes(const q31_result* r, const std::uint8_t* bytes, std::uint32_t length, void* user) {
    auto& b = *static_cast<Bytes*>(user);
    ++b.calls;
    b.result = *r;
    b.bytes.assign(bytes, bytes + length);
}

class DirectExchanges : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line.Open(Config(310001, 31, 2, 300)));
        const q31_options o = Options(100, 3);
        session.reset(q31_session_open(line.port, &o));
        ASSERT_NE(session, nullptr);
    }
    void Silence(std::uint64_t replies) {
        line.meter->WithModel(
            [replies](sim::MeterModel& m) { m.InjectNext(sim::Fault{sim::FaultKind::Silence}, replies); });
    }
    Line line;
    SessionPtr session;
};

TEST_F(DirectExchanges, AProbeIsSentOnceAndAnAnswerCarriesTheIdentity) {
    Silence(10);
    Outcome silent;
    ASSERT_EQ(q31_probe_id(session.get(), &OnRecord<SDevIdent>, &silent), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return silent.calls > 0; }));
    EXPECT_EQ(silent.result.status, Q31_NO_ANSWER);
    EXPECT_TRUE(silent.data.empty());

    line.meter->WithModel([](sim::MeterModel& m) { m.ClearFaults(); });
    Outcome found;
    ASSERT_EQ(q31_probe_id(session.get(), &OnRecord<SDevIdent>, &found), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return found.calls > 0; }));
    ASSERT_EQ(found.result.status, Q31_OK);
    EXPECT_EQ(found.result.found_serial, 310001u);
    SDevIdent ident{};
    std::memcpy(&ident, found.data.data(), sizeof ident);
    EXPECT_EQ(ident.DevType, 5120);
    EXPECT_EQ(ident.SerialNumber, 310001u);
    // The silent probe went out once although the send limit allows three re-sends.
    EXPECT_EQ(line.Commands(), (std::vector<std::uint8_t>{kId, kId}));
    EXPECT_EQ(silent.calls, 1);
}

TEST_F(DirectExchanges, ServiceCommandsReplyAndASilentMeterEndsThemAtOnce) {
    Bytes saved;
    ASSERT_EQ(q31_service(session.get(), Q31_SERVICE_SAVE, 1, 0, &OnBytes, &saved), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return saved.calls > 0; }));
    EXPECT_EQ(saved.result.status, Q31_OK);
    EXPECT_EQ(saved.bytes, (std::vector<std::uint8_t>{0x06}));

    Bytes adc;
    ASSERT_EQ(q31_service(session.get(), Q31_SERVICE_ADC, 0, 0, &OnBytes, &adc), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return adc.calls > 0; }));
    ASSERT_EQ(adc.result.status, Q31_OK);
    ASSERT_EQ(adc.bytes.size(), 68u) << "two RAM addresses, then sixteen values";
    EXPECT_EQ(std::vector<std::uint8_t>(adc.bytes.begin(), adc.bytes.begin() + 4),
              (std::vector<std::uint8_t>{0x00, 0x16, 0x00, 0x1E}));

    Silence(10);
    Bytes silent;
    ASSERT_EQ(q31_service(session.get(), Q31_SERVICE_SAVE, 2, 0, &OnBytes, &silent), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return silent.calls > 0; }));
    EXPECT_EQ(silent.result.status, Q31_NO_ANSWER);
    EXPECT_TRUE(silent.bytes.empty());
    const std::vector<std::uint8_t> sent = line.Commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), kSaveData);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), kSaveData), 2) << "the silent save went out once";
    EXPECT_EQ(std::count(sent.begin(), sent.end(), kId), 0) << "service commands identify nobody";

    // Numbers out of range, an unknown command and a missing callback send nothing.
    Bytes refused;
    EXPECT_EQ(q31_service(session.get(), Q31_SERVICE_ANALOG_READ, 0, 253, &OnBytes, &refused), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_service(session.get(), Q31_SERVICE_SAVE, 256, 0, &OnBytes, &refused), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_service(session.get(), Q31_SERVICE_TERM, 1, 0, &OnBytes, &refused), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_service(session.get(), 0x87, 0, 0, &OnBytes, &refused), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_service(session.get(), Q31_SERVICE_TERM, 0, 0, nullptr, nullptr), Q31_ERR_ARGUMENT);
    EXPECT_EQ(q31_service(nullptr, Q31_SERVICE_TERM, 0, 0, &OnBytes, &refused), Q31_ERR_SESSION);
    EXPECT_EQ(line.Commands().size(), sent.size());
}

TEST(QuietBound, ThreeTimeOutsAndTheSendDelayAndTail) {
    q31_options o;
    q31_options_init(&o);
    o.timeout_ms = 500;
    EXPECT_EQ(q31_quiet_bound_ms(&o), 1514);
    o.timeout_ms = 0;
    EXPECT_EQ(q31_quiet_bound_ms(&o), 0);
    EXPECT_EQ(q31_quiet_bound_ms(nullptr), 0);
}

}  // namespace
}  // namespace q31::test
