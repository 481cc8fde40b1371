// The meter over a real pseudo-terminal, as the plug-in's tests will use it:
// open the slave path like a serial port, write packets, read replies.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/SerialPort.h"
#include "sim/PtyMeter.h"
#include "sim/SimFrame.h"
#include "support/HostPort.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

class Host {
public:
    explicit Host(const std::string& path) : port_(OpenHostPort(path.c_str(), 9600)) {}
    ~Host() { CloseHostPort(port_); }
    bool Open() const { return PortUsable(port_); }
    void Send(const Bytes& b) { ASSERT_TRUE(PortWrite(port_, b.data(), b.size())); }
    Bytes Receive(std::size_t n, int timeoutMs = 1000) {
        Bytes out(n);
        out.resize(reader_.Read(port_, out.data(), n, timeoutMs));
        return out;
    }

private:
    PortHandle port_;
    PortReader reader_;
};

TEST(PtyMeter, AnswersOverTheLineWithAndWithoutEcho) {
    PtyMeter meter;
    ASSERT_TRUE(meter.Start());
    ASSERT_FALSE(meter.SlavePath().empty());
    Host host(meter.SlavePath());
    ASSERT_TRUE(host.Open());

    const Bytes id = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});
    const Bytes expected = MeterModel().Handle(id).bytes;  // same seed, same answer
    host.Send(Bytes{0x00});                                // the preamble is skipped
    host.Send(id);
    EXPECT_EQ(host.Receive(19), expected);

    meter.SetEcho(true);
    const Bytes write = BuildRequest(kDefaultMeterAddress, 0x20, Bytes{0x00, 0x30, 2, 0xDE, 0xAD});
    host.Send(write);
    EXPECT_EQ(host.Receive(write.size()), write);
    EXPECT_EQ(host.Receive(1), Bytes{0x06});
    EXPECT_TRUE(meter.WaitForRequests(2, 1000));
    meter.WithModel([&](MeterModel& m) {
        EXPECT_EQ(m.Ram()[0x3000], 0xDE);
        EXPECT_EQ(m.Ram()[0x3001], 0xAD);
        EXPECT_EQ(m.Log().Last()->bytes, write);
    });
}

TEST(PtyMeter, DelaysStopsAndRestartsOnTheSameLine) {
    PtyMeter meter;
    ASSERT_TRUE(meter.Start());
    const std::string path = meter.SlavePath();
    Host host(path);
    ASSERT_TRUE(host.Open());
    const Bytes id = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});

    meter.WithModel([](MeterModel& m) { m.InjectNext({FaultKind::Delay, 300}); });
    auto start = Clock::now();
    host.Send(id);
    EXPECT_EQ(host.Receive(19, 2000).size(), 19u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(290));

    // Stop ends a pending delay at once rather than after it.
    meter.WithModel([](MeterModel& m) { m.InjectNext({FaultKind::Delay, 5000}); });
    host.Send(id);
    ASSERT_TRUE(meter.WaitForRequests(2, 1000));
    start = Clock::now();
    meter.Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(host.Receive(19, 200).empty());

    host.Send(id);                                               // to a switched-off meter: lost
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the meter's side
    ASSERT_TRUE(meter.Start());
    EXPECT_EQ(meter.SlavePath(), path);
    EXPECT_TRUE(host.Receive(19, 200).empty());
    host.Send(id);
    EXPECT_EQ(host.Receive(19).size(), 19u);
    EXPECT_EQ(meter.RequestCount(), 3u);
}

// On a paced line the wire time is a lower bound on every exchange; the clock
// starts before the host writes, so nothing on the host side can make the
// measured time shorter than the meter's pacing.
TEST(PtyMeter, PacedReplyTakesAtLeastItsWireTime) {
    PtyMeterOptions options;
    options.wire = WireTiming(9600);  // 8N1: 10 bits a byte
    PtyMeter meter({}, options);
    ASSERT_TRUE(meter.Start());
    Host host(meter.SlavePath());
    ASSERT_TRUE(host.Open());

    const Bytes id = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});
    ASSERT_EQ(id.size(), 6u);
    const Bytes expected = MeterModel().Handle(id).bytes;
    ASSERT_EQ(expected.size(), 19u);
    const auto start = Clock::now();
    host.Send(id);
    EXPECT_EQ(host.Receive(19), expected);
    // 25 bytes at 9600 8N1: 250 / 9600 s = 26.04 ms.
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds(26042));
}

TEST(PtyMeter, PacedMeterHearsALongRequestOutBeforeAnswering) {
    PtyMeterOptions options;
    options.wire = WireTiming(9600);
    PtyMeter meter({}, options);
    ASSERT_TRUE(meter.Start());
    Host host(meter.SlavePath());
    ASSERT_TRUE(host.Open());

    Bytes data{0x00, 0x30, 200};
    for (int i = 0; i < 200; ++i) data.push_back(static_cast<std::uint8_t>(i));
    const Bytes write = BuildRequest(kDefaultMeterAddress, 0x20, data);
    ASSERT_EQ(write.size(), 209u);
    const auto start = Clock::now();
    host.Send(write);
    EXPECT_EQ(host.Receive(1, 2000), Bytes{0x06});
    // 209 request bytes and the 1-byte acknowledgement: 2100 / 9600 s = 218.75 ms.
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds(218750));
    meter.WithModel([](MeterModel& m) { EXPECT_EQ(m.Ram()[0x3000 + 199], 199); });
}

TEST(PtyMeter, PacedEchoAndReplyOnAnEvenParityTwoStopBitLine) {
    PtyMeterOptions options;
    options.echo = true;
    options.wire = WireTiming(2400, Parity::Even, 2);  // 12 bits: 5 ms a byte
    PtyMeter meter({}, options);
    ASSERT_TRUE(meter.Start());
    Host host(meter.SlavePath());
    ASSERT_TRUE(host.Open());

    const Bytes id = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});
    const Bytes expected = MeterModel().Handle(id).bytes;
    const auto start = Clock::now();
    host.Send(id);
    EXPECT_EQ(host.Receive(6), id);
    // The echo's last byte comes back as the request's last byte passes: 6 x 5 ms.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(host.Receive(19), expected);
    // Then the reply: 30 ms + 19 x 5 ms.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(125));
}

TEST(PtyMeter, PacedReplyDelayCountsFromTheRequestsEnd) {
    PtyMeterOptions options;
    options.wire = WireTiming(1200);  // 8N1: 8.33 ms a byte
    options.replyDelayMs = 40;
    PtyMeter meter({}, options);
    ASSERT_TRUE(meter.Start());
    Host host(meter.SlavePath());
    ASSERT_TRUE(host.Open());

    const Bytes id = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});
    const auto start = Clock::now();
    host.Send(id);
    EXPECT_EQ(host.Receive(19).size(), 19u);
    // 6 bytes heard (50 ms), 40 ms of the meter's own, 19 bytes out (158.33 ms).
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds(248334));
}

}  // namespace
}  // namespace q31::sim
