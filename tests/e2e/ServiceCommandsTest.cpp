// The measurement and calibration commands from end to end: the heat-meter
// component and its channel on a real pseudo-terminal, the virtual meter at
// the other end, real timers and short time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "meter/TPublicNetKs_6x6.h"
#include "sim/PtyMeter.h"
#include "support/HostPort.h"

namespace q31::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class ServiceCommands : public ::testing::TestWithParam<bool> {
protected:
    void Open(sim::MeterConfig config = {}) {
        sim::PtyMeterOptions options;
        options.echo = GetParam();
        meter = std::make_unique<sim::PtyMeter>(config, options);
        ASSERT_TRUE(meter->Start());
        port = OpenHostPort(meter->SlavePath().c_str(), 115200);
        ASSERT_TRUE(PortUsable(port));
        channel.ComHandle = port;
        channel.EchoRead = GetParam();
        link.DeviceComm = &channel;
        link.SetSlaveNetAddress(201);
        link.SetReceiving_back(GetParam());
        link.SetTimeOut(150);
        link.SetTimePackage(10);
        link.NullByteEnabled = false;
        link.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&ServiceCommands::Executed>(this);
    }
    void TearDown() override {
        link.BreakTransmit();
        channel.AbortRead();
        while (MessageLoop::Main().Pump(0) > 0) {
        }
        if (meter) meter->Stop();
        CloseHostPort(port);
    }
    void Executed(short length, char* buffer) {
        ++replies;
        reply.assign(buffer, buffer + length);
    }
    // Starts a command and pumps until its reply, at most `ms` real time.
    template <typename Start>
    bool Exchange(Start start, int ms = 3000) {
        const int before = replies;
        if (!start()) return false;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (replies == before) {
            if (std::chrono::steady_clock::now() > end) return false;
            MessageLoop::Main().Pump(20);
        }
        return true;
    }
    template <typename F>
    decltype(auto) Model(F&& f) {
        return meter->WithModel(std::forward<F>(f));
    }
    std::vector<std::uint8_t> Commands() {
        std::vector<std::uint8_t> commands;
        for (const auto& r : Model([](sim::MeterModel& m) { return m.Log().Entries(); }))
            commands.push_back(r.bytes[2]);
        return commands;
    }

    std::unique_ptr<sim::PtyMeter> meter;
    PortHandle port = kNoPort;
    TPublicDevCom channel;
    TPublicNetKs_6x6 link;
    int replies = 0;
    Bytes reply;
};

TEST_P(ServiceCommands, AnalogSessionSaveAndFlowChangeTheMeter) {
    sim::MeterConfig config;
    config.ackByte = 0x5A;  // whatever the meter acknowledges with reaches the owner
    Open(config);
    ASSERT_TRUE(Exchange([&] { return link.AnalogStart(3); }));
    EXPECT_EQ(reply, Bytes{0x5A});
    ASSERT_TRUE(Exchange([&] { return link.AnalogRead(0x0300, 16); }));
    const Bytes running = reply;
    ASSERT_EQ(running.size(), 16u);
    EXPECT_NE(running, Bytes(16, 0)) << "a running measurement has samples";
    ASSERT_TRUE(Exchange([&] { return link.AnalogEnd(); }));
    ASSERT_TRUE(Exchange([&] { return link.AnalogRead(0x0300, 16); }));
    EXPECT_EQ(reply, running) << "after the end the last conversion stays";
    ASSERT_TRUE(Exchange([&] { return link.SaveData(9); }));
    ASSERT_TRUE(Exchange([&] { return link.StartFlowCalculation(7); }));
    ASSERT_TRUE(Exchange([&] { return link.GetADCPressData(); }));
    EXPECT_EQ(reply.size(), 8u);

    const auto s = Model([](sim::MeterModel& m) { return m.Service().measurement; });
    EXPECT_FALSE(s.analogRunning);
    EXPECT_EQ(s.analogMode, 3);
    EXPECT_EQ(s.conversions, 1u);
    EXPECT_EQ(s.lastReadAddress, 0x0300);
    EXPECT_EQ(s.saves, 1u);
    EXPECT_EQ(s.lastSaveValue, 9);
    EXPECT_EQ(s.flowValue, 7);
    EXPECT_EQ(s.pressReads, 1u);
    EXPECT_EQ(Commands(), (Bytes{0x81, 0x82, 0x83, 0x82, 0x80, 0x84, 0x86}));
    EXPECT_EQ(replies, 7);
}

TEST_P(ServiceCommands, ADCDataComesFromTheBlocksThePointerRecordNames) {
    Open();
    // Word 14 moved: the meter keeps its ADC values where the record says,
    // and the chain reads them from there.
    Model([](sim::MeterModel& m) {
        m.Memory().WriteU16(sim::MemoryArea::Flash, sim::kRamPointerFlashAddress + 2 * 14, 0x2340);
    });
    ASSERT_TRUE(Exchange([&] {
        link.GetADCData();
        return true;
    }));
    EXPECT_EQ(replies, 1) << "one delivery for the whole chain";
    Bytes expected(64);
    Model([&](sim::MeterModel& m) {
        std::memcpy(&expected[0], &m.Ram()[sim::PointerTarget(6)], 32);
        std::memcpy(&expected[32], &m.Ram()[0x2340], 32);
        EXPECT_EQ(m.Service().measurement.termCalculations, 1u);
    });
    EXPECT_EQ(reply, expected);
    EXPECT_EQ(link.ADCPointers[6], sim::PointerTarget(6));
    EXPECT_EQ(link.ADCPointers[14], 0x2340);
    EXPECT_EQ(Commands(), (Bytes{0x31, 0x85, 0x10, 0x10}));
}

TEST_P(ServiceCommands, LostAndDamagedChainRepliesAreAskedAgain) {
    Open();
    Model([](sim::MeterModel& m) {
        m.InjectAt(1, {sim::FaultKind::Silence, 0});      // the pointer record
        m.InjectAt(4, {sim::FaultKind::BadChecksum, 0});  // the first RAM block
        m.InjectAt(6, {sim::FaultKind::ShortReply, 5});   // the second RAM block
    });
    ASSERT_TRUE(Exchange([&] {
        link.GetADCData();
        return true;
    }));
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(Commands(), (Bytes{0x31, 0x31, 0x85, 0x10, 0x10, 0x10, 0x10}));
    Bytes expected(64);
    Model([&](sim::MeterModel& m) {
        std::memcpy(&expected[0], &m.Ram()[sim::PointerTarget(6)], 32);
        std::memcpy(&expected[32], &m.Ram()[sim::PointerTarget(14)], 32);
    });
    EXPECT_EQ(reply, expected);
}

INSTANTIATE_TEST_SUITE_P(Echo, ServiceCommands, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LineEchoes" : "NoEcho"; });

}  // namespace
}  // namespace q31::test
