// A link and its channel on one end of a socket pair, a scripted meter on
// the other, and a manual clock: the test decides when time passes, and the
// only real waiting is for the reader thread to hand a chunk over.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/Frame.h"
#include "link/TPublicNetKs.h"
#include "meter/TPublicNetKs_6x6.h"
#include "platform/MessageLoop.h"
#include "platform/PortPair.h"
#include "serial/TPublicDevCom.h"

namespace q31::test {

using Bytes = std::vector<std::uint8_t>;

// A request frame as the link should build it.
inline Bytes Request(std::uint8_t first, std::uint8_t command, Bytes data, std::uint8_t master = 240) {
    std::uint8_t out[300];
    const auto n = frame::BuildRequest(out, sizeof out, first, command, data.data(), data.size(), master);
    return Bytes(out, out + n);
}

inline Bytes Concat(const Bytes& a, const Bytes& b, const Bytes& c) {
    Bytes r(a.size() + b.size() + c.size());
    std::size_t i = 0;
    for (const Bytes* part : {&a, &b, &c})
        for (std::uint8_t v : *part) r[i++] = v;
    return r;
}

// Appends the 16-bit sum of everything before it, low byte first.
inline Bytes WithChecksum(Bytes r) {
    const auto sum = frame::Checksum(r.data(), r.size());
    r.resize(r.size() + 2);
    frame::PutLe16(r.data() + r.size() - 2, sum);
    return r;
}

// A reply of the general form: [master][L][payload][further byte][sum].
inline Bytes GeneralReply(const Bytes& payload, std::uint8_t master = 240, std::uint8_t further = 0x55) {
    return WithChecksum(Concat({master, static_cast<std::uint8_t>(payload.size())}, payload, {further}));
}

// The 19-byte identification reply.
inline Bytes IdReply(std::uint32_t serial, std::uint16_t devType = 0x1400, std::uint8_t master = 240) {
    const Bytes id = {static_cast<std::uint8_t>(devType), static_cast<std::uint8_t>(devType >> 8),
                                 0xF0, 0x00, 1, 2, 3, 4,
                                 static_cast<std::uint8_t>(serial), static_cast<std::uint8_t>(serial >> 8),
                                 static_cast<std::uint8_t>(serial >> 16), static_cast<std::uint8_t>(serial >> 24),
                                 0x34, 0x12};
    return WithChecksum(Concat({master, 14}, id, {0x00}));
}

class MeterEnd {
public:
    MeterEnd() { EXPECT_TRUE(CreatePortPair(host, meter)); }
    ~MeterEnd() {
        ClosePort(host);
        ClosePort(meter);
    }

    // Reads exactly what the library sent, waiting (really) at most `ms`.
    Bytes Take(std::size_t n, int ms = 2000) {
        Bytes b(n);
        b.resize(reader_.Read(meter, b.data(), n, ms));
        return b;
    }
    // What else arrived within `ms`.
    Bytes TakeAll(int ms = 50) {
        Bytes b(1024);
        b.resize(reader_.Read(meter, b.data(), b.size(), ms));
        return b;
    }
    void Send(const Bytes& b) { PortWrite(meter, b.data(), b.size()); }

    PortHandle host = 0;
    PortHandle meter = 0;

private:
    PortReader reader_;
};

// Runs hand-overs of `loop` until `done` holds, waiting really at most `ms`;
// the manual clock does not move.
template <typename Pred>
bool PumpUntil(MessageLoop& loop, Pred done, int ms = 2000) {
    for (int waited = 0; !done(); waited += 20) {
        if (waited >= ms) return false;
        loop.WaitForHandover(20);
        loop.Tick(0);
    }
    return true;
}

// The settings every engine test starts from: the channel on `port`, slave
// 201, a 10 ms send delay, a 500 ms time-out and no null-byte preamble.
inline void WireForTest(TPublicNetKs& link, TPublicDevCom& channel, PortHandle port) {
    channel.ComHandle = port;
    link.DeviceComm = &channel;
    link.SetSlaveNetAddress(201);
    link.SetTimePackage(10);
    link.SetTimeOut(500);
    link.NullByteEnabled = false;
}

struct LinkHarness {
    LinkHarness() { WireForTest(link, channel, end.host); }

    // Moves the manual clock on.
    void Advance(int ms) { loop.Tick(Micros{ms} * 1000); }

    template <typename Pred>
    bool PumpUntil(Pred done, int ms = 2000) {
        return test::PumpUntil(loop, done, ms);
    }

    ManualClock clock;
    MessageLoop loop{&clock};
    MeterEnd end;
    TPublicDevCom channel{nullptr, loop};
    TPublicNetKs link{nullptr, loop};
};

// The heat-meter component wired the same way.
struct MeterRig {
    MeterRig() { WireForTest(meter, channel, end.host); }

    ManualClock clock;
    MessageLoop loop{&clock};
    MeterEnd end;
    TPublicDevCom channel{nullptr, loop};
    TPublicNetKs_6x6 meter{nullptr, loop};
};

}  // namespace q31::test
