// Identification and the module block from end to end: exports, link,
// channel, a real pseudo-terminal and the virtual meter.
#include <algorithm>
#include <cstring>

#include "tests/e2e/PtyHarness.h"

namespace q31::test {
namespace {

class EndToEnd : public PtyHarness, public ::testing::WithParamInterface<bool> {};

TEST_P(EndToEnd, GetIDDeliversTheMeterIdentity) {
    sim::MeterConfig config;
    config.serialNumber = 0xC0FFEE01;
    config.versionWord = 0x00EF;
    Open(GetParam(), config);
    ASSERT_EQ(::GetID(), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "id;");
    EXPECT_EQ(g_host.ident.DevType, 0x1400);
    EXPECT_EQ(g_host.ident.IdWord2, 0x00EF);
    EXPECT_EQ(g_host.ident.SerialNumber, 0xC0FFEE01u);
    const auto packets = meter->WithModel([](sim::MeterModel& m) { return m.Log().Size(); });
    EXPECT_EQ(packets, 1u);
}

TEST_P(EndToEnd, ModuleCountAndRecordComeFromTheModuleBlock) {
    Open(GetParam());
    std::uint8_t block[392];
    meter->WithModel([&](sim::MeterModel& m) {
        auto ram = m.Ram();
        ram[0xFE00 + 35] = 9;  // the raw byte goes to the host, even above 6
        const std::uint8_t bytes[6] = {0, 1, 2, 3, 4, 255};
        std::memcpy(&ram[0xFE00 + 52 + 50 * 5 + 12], bytes, 6);
        std::memcpy(block, &ram[0xFE00], sizeof block);
    });
    SDevIdent dev = Ident();
    ASSERT_EQ(::GetModuleCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.moduleCount, 9u);
    ASSERT_EQ(::GetModuleRecord(&dev, 6), 0);
    ASSERT_TRUE(WaitCalls(2));
    const std::uint8_t* entry = block + 52 + 250;
    EXPECT_EQ(std::memcmp(&g_host.module.Word0, entry, 2), 0);
    EXPECT_EQ(std::vector<int>(g_host.module.Bytes, g_host.module.Bytes + 6), (std::vector<int>{1, 2, 3, 4, 5, 0}));
    EXPECT_EQ(std::memcmp(g_host.module.Values, entry + 18, 24), 0);
    EXPECT_EQ(Requests(), 8u) << "identification and three block reads per request";
}

INSTANTIATE_TEST_SUITE_P(Echo, EndToEnd, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LineEchoes" : "NoEcho"; });

TEST_F(PtyHarness, LostAndDamagedRepliesAreAskedAgain) {
    Open(false);
    meter->WithModel([](sim::MeterModel& m) {
        m.InjectAt(1, {sim::FaultKind::Silence, 0});
        m.InjectAt(2, {sim::FaultKind::BadChecksum, 0});
        m.InjectAt(3, {sim::FaultKind::WrongAddress, 0});
        m.InjectAt(4, {sim::FaultKind::ShortReply, 0});
    });
    ASSERT_EQ(::GetID(), 0);
    ASSERT_TRUE(WaitCalls(1, 5000));
    EXPECT_EQ(g_host.calls, "id;") << "no callback until a good reply, and no time-out with repetition on";
    EXPECT_EQ(g_host.ident.SerialNumber, sim::kDefaultSerialNumber);
    EXPECT_EQ(Requests(), 5u);
}

TEST_F(PtyHarness, CorruptedLineNeverDeliversWrongData) {
    Open(true);
    meter->WithModel([](sim::MeterModel& m) { m.SetFaultRate(sim::FaultKind::Corrupt, 0.3, 2); });
    SDevIdent dev = Ident();
    std::uint8_t block[392];
    meter->WithModel([&](sim::MeterModel& m) { std::memcpy(block, &m.Ram()[0xFE00], sizeof block); });
    for (int module = 1; module <= 6; ++module) {
        g_host.calls.clear();
        ASSERT_EQ(::GetModuleRecord(&dev, static_cast<std::uint32_t>(module)), 0);
        ASSERT_TRUE(WaitCalls(1, 10000)) << "module " << module;
        // A corrupted serial number could only show as a message; data must be exact.
        if (g_host.calls != "module;") continue;
        EXPECT_EQ(std::memcmp(g_host.module.Values, block + 52 + 50 * (module - 1) + 18, 24), 0);
    }
}

TEST_F(PtyHarness, OtherMeterOnTheLineStopsTheRequest) {
    Open(false);
    SDevIdent dev = Ident(0x80000001u);
    ASSERT_EQ(::GetModuleCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "message;");
    EXPECT_EQ(g_host.caption, "Ошибка!");
    EXPECT_EQ(g_host.message, "Не совпадение серийных номеров запрос №-2147483647  найден №310001");
    ASSERT_TRUE(FollowWithGetID());
    EXPECT_EQ(g_host.calls, "message;id;") << "no module count";
    EXPECT_EQ(Packets(), (std::vector<std::vector<std::uint8_t>>(2, {0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01})))
        << "only the identification went out before the next request's";
}

TEST_F(PtyHarness, RefusedRequestsSendNothing) {
    Open(false);
    SDevIdent other = Ident();
    other.DevType = 5121;
    EXPECT_EQ(::GetModuleCount(&other), 2);
    SDevIdent dev = Ident();
    EXPECT_EQ(::GetModuleRecord(&dev, 7), 3);
    EXPECT_EQ(::GetModuleRecord(&dev, 0x100 + 2), 0) << "only the low byte of the slot counts";
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(::GetModuleCount(nullptr), 3);
    ASSERT_TRUE(FollowWithGetID());
    EXPECT_EQ(g_host.calls, "module;id;");
    EXPECT_EQ(Requests(), 5u) << "only the accepted request reached the meter before the identification";
}

}  // namespace
}  // namespace q31::test
