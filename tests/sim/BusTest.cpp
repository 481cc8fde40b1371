// Several meters on one pseudo-terminal: only the addressed one answers.
#include <gtest/gtest.h>

#include <vector>

#include "platform/SerialPort.h"
#include "sim/PtyMeter.h"
#include "sim/SimFrame.h"
#include "support/HostPort.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

BusPlan TwoMeters() {
    BusPlan plan;
    BusMeterPlan first;
    first.meter.address = 1;
    first.meter.serialNumber = 1001;
    first.meter.seed = 5;
    first.meter.moduleCount = 2;
    BusMeterPlan second = first;
    second.meter.address = 2;
    second.meter.serialNumber = 2002;
    second.meter.seed = 6;
    second.meter.moduleCount = 4;
    second.echo = true;
    plan.meters = {first, second};
    return plan;
}

TEST(Bus, OnlyTheAddressedMeterAnswersOnTheSharedLine) {
    PtyMeter bus(PtyMeterOptions{}, TwoMeters());
    ASSERT_TRUE(bus.Start());
    PortHandle port = OpenHostPort(bus.SlavePath().c_str(), 9600);
    ASSERT_TRUE(PortUsable(port));
    PortReader reader;
    const auto exchange = [&](const Bytes& request, std::size_t want) {
        EXPECT_TRUE(PortWrite(port, request.data(), request.size()));
        Bytes out(want);
        out.resize(reader.Read(port, out.data(), want, 1000));
        return out;
    };

    // The module counter: each meter says its own count.
    EXPECT_EQ(exchange(Bytes{0x01, 0x01, 0x08, 0xF0, 0xFA, 0x00}, 6), (Bytes{0xF0, 0x01, 0x02, 0xA5, 0x98, 0x01}));
    // The second meter echoes its packet once whole, then answers.
    EXPECT_EQ(exchange(Bytes{0x02, 0x01, 0x08, 0xF0, 0xFB, 0x00}, 12),
              (Bytes{0x02, 0x01, 0x08, 0xF0, 0xFB, 0x00, 0xF0, 0x01, 0x04, 0xA5, 0x9A, 0x01}));

    // Nobody is at address 3: the packet goes unanswered, and the first bytes
    // back are the answer to the packet behind it.
    const Bytes nobody{0x03, 0x01, 0x08, 0xF0, 0xFC, 0x00};
    ASSERT_TRUE(PortWrite(port, nobody.data(), nobody.size()));
    const Bytes id = exchange(BuildRequest(1, 0x0F, Bytes{}), 19);
    ASSERT_EQ(id.size(), 19u);
    EXPECT_EQ(Bytes(id.begin() + 10, id.begin() + 14), (Bytes{0xE9, 0x03, 0x00, 0x00}));  // 1001
    EXPECT_EQ(bus.RequestCount(), 3u);
    bus.WithBus([](SimBus& b) {
        EXPECT_EQ(b.At(1)->RequestCount(), 2u);
        EXPECT_EQ(b.At(2)->RequestCount(), 1u);
        EXPECT_EQ(b.At(3), nullptr);
    });
    CloseHostPort(port);
}

}  // namespace
}  // namespace q31::sim
