// A link and its channel on one end of a socket pair, a scripted meter on
// the other, and a manual clock: the test decides when time passes, and the
// only real waiting is for the reader thread to hand a chunk over.
#pragma once

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <vector>

#include "link/Frame.h"
#include "link/TPublicNetKs.h"
#include "meter/TPublicNetKs_6x6.h"
#include "runtime/MessageLoop.h"
#include "serial/TPublicDevCom.h"
#include "support/PortPair.h"

namespace q31::test {

using Bytes = std::vector<std::uint8_t>;

// The 16-bit sum a frame ends with, worked out here rather than by the code
// under test: every byte added, the carry beyond 16 bits dropped.
inline std::uint16_t Sum16(const Bytes& b) {
    unsigned sum = 0;
    for (std::uint8_t v : b) sum += v;
    return static_cast<std::uint16_t>(sum & 0xFFFF);
}

// Appends the 16-bit sum of everything before it, low byte first.
inline Bytes WithChecksum(Bytes r) {
    const std::uint16_t sum = Sum16(r);
    r.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    r.push_back(static_cast<std::uint8_t>(sum >> 8));
    return r;
}

// A request frame: [first][L][command][data][master][sum lo][sum hi].
inline Bytes Request(std::uint8_t first, std::uint8_t command, const Bytes& data, std::uint8_t master = 240) {
    Bytes r = {first, static_cast<std::uint8_t>(data.size() + 1), command};
    r.insert(r.end(), data.begin(), data.end());
    r.push_back(master);
    return WithChecksum(r);
}

inline Bytes Concat(const Bytes& a, const Bytes& b, const Bytes& c) {
    Bytes r(a.size() + b.size() + c.size());
    std::size_t i = 0;
    for (const Bytes* part : {&a, &b, &c})
        for (std::uint8_t v : *part) r[i++] = v;
    return r;
}

// A reply of the general form: [master][L][payload][further byte][sum].
inline Bytes GeneralReply(const Bytes& payload, std::uint8_t master = 240, std::uint8_t further = 0x55) {
    return WithChecksum(Concat({master, static_cast<std::uint8_t>(payload.size())}, payload, {further}));
}

// The 19-byte identification reply.
inline Bytes IdReply(std::uint32_t serial, std::uint16_t devType = 0x1400, std::uint8_t master = 240) {
    const Bytes id = {static_cast<std::uint8_t>(devType),
                      static_cast<std::uint8_t>(devType >> 8),
                      0xF0,
                      0x00,
                      1,
                      2,
                      3,
                      4,
                      static_cast<std::uint8_t>(serial),
                      static_cast<std::uint8_t>(serial >> 8),
                      static_cast<std::uint8_t>(serial >> 16),
                      static_cast<std::uint8_t>(serial >> 24),
                      0x34,
                      0x12};
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
    // Whatever the library has written so far, without waiting: the link
    // writes inside the timer handler that sends, so after a Tick all it
    // sent is already queued on this end.
    Bytes Queued() {
        const int n = Pending(meter);
        return n > 0 ? Take(static_cast<std::size_t>(n)) : Bytes{};
    }
    // Bytes sent to the library that its reads have not taken yet.
    int UnreadByLibrary() const { return Pending(host); }
    void Send(const Bytes& b) { PortWrite(meter, b.data(), b.size()); }

    PortHandle host = 0;
    PortHandle meter = 0;

private:
    static int Pending(PortHandle port) {
        int n = 0;
        return ::ioctl(static_cast<int>(port), FIONREAD, &n) == 0 ? n : -1;
    }
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

// Lets the send delay pass (manual clock) and returns what went out. After a
// failed exchange a packet first waits for the line to stay quiet (up to two
// time-outs, `quietMs`); that is let pass too, but only when nothing went out
// after the send delay.
inline Bytes NextSent(MessageLoop& loop, MeterEnd& end, int quietMs = 1000) {
    loop.Tick(Micros{10} * 1000);
    Bytes out = end.Queued();
    // In steps, so that the clock stops just after the packet went out and
    // its own time-out has not begun to run.
    for (int waited = 0; out.empty() && waited < quietMs; waited += 10) {
        loop.Tick(Micros{10} * 1000);
        out = end.Queued();
    }
    return out;
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
