// The meter over a real pseudo-terminal, as the plug-in's tests will use it:
// open the slave path like a serial port, write packets, read replies.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/HostPort.h"
#include "platform/SerialPort.h"
#include "sim/PtyMeter.h"
#include "sim/SimFrame.h"

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
    host.Send(Bytes{0x00});  // the preamble is skipped
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

    host.Send(id);  // to a switched-off meter: lost
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the meter's side
    ASSERT_TRUE(meter.Start());
    EXPECT_EQ(meter.SlavePath(), path);
    EXPECT_TRUE(host.Receive(19, 200).empty());
    host.Send(id);
    EXPECT_EQ(host.Receive(19).size(), 19u);
    EXPECT_EQ(meter.RequestCount(), 3u);
}

}  // namespace
}  // namespace q31::sim
