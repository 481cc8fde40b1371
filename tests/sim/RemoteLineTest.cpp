// The virtual meter on sockets: behind a device server's listener, and
// behind a modem that calls out.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "sim/ModemLine.h"
#include "sim/PtyMeter.h"
#include "sim/SimFrame.h"
#include "sim/SocketLine.h"
#include "support/TcpSocket.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Up to `n` bytes, waiting at most 2 s; `closed` tells whether the far end hung up.
Bytes Receive(int socket, std::size_t n, bool* closed = nullptr) {
    Bytes out;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    std::uint8_t chunk[256];
    while (out.size() < n && Clock::now() < deadline) {
        const int got = SocketReadSome(socket, chunk, std::min(sizeof chunk, n - out.size()));
        if (got < 0) {
            if (closed) *closed = true;
            break;
        }
        out.insert(out.end(), chunk, chunk + got);
        if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return out;
}

bool HungUp(int socket) {
    bool closed = false;
    Receive(socket, 1024, &closed);
    return closed;
}

void Send(int socket, const Bytes& b) { ASSERT_TRUE(SocketWriteAll(socket, b.data(), b.size(), 1000)); }

BusPlan OneMeter() {
    BusPlan plan;
    plan.meters.push_back({MeterConfig{}, {}, false});
    return plan;
}

int PortOf(const std::string& name) { return std::stoi(name.substr(name.rfind(':') + 1)); }

TEST(RemoteLine, AListenerServesOneClientAtATimeANewcomerTakesOverAndADropEndsTheCallMidReply) {
    PtyMeter meter(PtyMeterOptions{}, OneMeter(), std::make_unique<SocketLine>("127.0.0.1", 0));
    ASSERT_TRUE(meter.Start());
    ASSERT_EQ(meter.SlavePath().rfind("tcp://127.0.0.1:", 0), 0u) << meter.SlavePath();
    const int port = PortOf(meter.SlavePath());
    const Bytes id = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});

    const int first = TcpConnect("127.0.0.1", port, 1000);
    ASSERT_GE(first, 0);
    Send(first, id);
    const Bytes reply = Receive(first, 19);
    ASSERT_EQ(reply.size(), 19u);

    const int second = TcpConnect("127.0.0.1", port, 1000);
    ASSERT_GE(second, 0);
    Send(second, id);
    EXPECT_EQ(Receive(second, 19), reply);
    EXPECT_TRUE(HungUp(first));

    meter.WithModel([](MeterModel& m) { m.InjectNext({FaultKind::Drop, 5}); });
    Send(second, id);
    bool closed = false;
    EXPECT_EQ(Receive(second, 19, &closed), Bytes(reply.begin(), reply.begin() + 5));
    EXPECT_TRUE(closed);

    const int third = TcpConnect("127.0.0.1", port, 1000);
    ASSERT_GE(third, 0);
    Send(third, id);
    EXPECT_EQ(Receive(third, 19), reply);
    EXPECT_EQ(meter.RequestCount(), 4u);
    for (int s : {first, second, third}) SocketClose(s);
}

TEST(RemoteLine, AModemRegistersBeatsAndCallsAgainWhenHungUpOn) {
    std::string error;
    const int listener = TcpListen("127.0.0.1", 0, &error);
    ASSERT_GE(listener, 0) << error;
    PtyMeter meter(PtyMeterOptions{}, OneMeter(),
                   std::make_unique<ModemLine>(ModemOptions{"127.0.0.1", TcpLocalPort(listener), "M7", "HB", 30}));
    ASSERT_TRUE(meter.Start());
    auto accept = [&] {
        int s = -1;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while ((s = TcpAccept(listener)) < 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return s;
    };
    const int call = accept();
    ASSERT_GE(call, 0);
    EXPECT_EQ(Receive(call, 7), (Bytes{'M', '7', '\n', 'H', 'B', 'H', 'B'}));
    SocketClose(call);

    const int again = accept();
    ASSERT_GE(again, 0);
    EXPECT_EQ(Receive(again, 3), (Bytes{'M', '7', '\n'}));
    SocketClose(again);
    SocketClose(listener);
}

}  // namespace
}  // namespace q31::sim
