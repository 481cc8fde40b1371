// A whole hourly ring of 8-byte archive values on a line paced at 9600 baud
// 8N1: identification, the counters and 108 packets of 0x90, ten values each.
//
// The floor is what the line and the protocol allow at best: the wire time of
// every request and every reply, the send delay of each packet and one
// dispatcher tick. With echo the meter's line returns each byte as it passes,
// so the echo ends with the request's last byte and adds no wire time of its
// own. The wire bytes are counted as the meter sees them, so a repeated
// packet would show in the floor (and in `packets_per_transfer`) rather than
// hide in the ratio.
//
// The meter runs in this process here, for its observer; the heap figures of
// the other benchmarks would count its allocations too, so none is given.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/BenchLine.h"
#include "bench/PacedMeter.h"
#include "plugin/TFXB.h"
#include "plugin/exports/PluginInstance.h"
#include "sim/PtyMeter.h"

namespace q31::bench {
namespace {

constexpr std::uint32_t kBaud = 9600;
constexpr std::uint32_t kValues = 1080;

// The virtual meter's layout (version word 0x00F0: 256-byte records).
SDevIdent g_pacedDev{5120, 0x00F0, 310001, 0, {0, 0}};

std::uint8_t StartHourRing() { return ::GetArhiveU_Hour(&g_pacedDev, 1, 0); }

// What went over the wire, as the meter tallies it after each exchange.
struct WireTally {
    std::atomic<std::uint64_t> packets{0};
    std::atomic<std::uint64_t> bytes{0};
};

class PacedLine {
public:
    PacedLine(bool echo, WireTally& tally) : meter_(FullRingConfig(), PacedOptions(kBaud, echo)) {
        meter_.SetObserver([&tally](std::span<const std::uint8_t> request, const q31::sim::MeterReply& reply) {
            tally.bytes += request.size() + reply.bytes.size();
            ++tally.packets;
        });
        if (!meter_.Start()) return;
        // At 9600 on a pseudo-terminal the host's speed paces nothing; the meter does.
        port_ = q31::OpenHostPort(meter_.SlavePath().c_str(), static_cast<int>(kBaud));
        if (!q31::PortUsable(port_)) return;
        TQ31Slot slot{};
        slot.Handle = port_;
        slot.EchoFlag = echo ? 0 : 1;
        slot.TimeOut = 1000;
        slot.OnArhiveU_Hour = &Done<std::int64_t*, std::uint32_t>;
        ::InitSlot(&slot);
        ready_ = true;
    }
    ~PacedLine() {
        q31::CloseHostPort(port_);
        meter_.Stop();
    }
    PacedLine(const PacedLine&) = delete;
    PacedLine& operator=(const PacedLine&) = delete;

    bool Ready() const { return ready_; }
    bool Settle(const WireTally& tally) {
        return WaitTallied(meter_, [&] { return tally.packets.load(); });
    }

private:
    q31::sim::PtyMeter meter_;
    q31::PortHandle port_ = q31::kNoPort;
    bool ready_ = false;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_ArchiveHourRingAt9600(benchmark::State& state) {
    WireTally tally;
    PacedLine line(state.range(0) != 0, tally);
    if (!line.Ready()) {
        state.SkipWithError("cannot start the virtual meter");
        return;
    }
    // The first transfer starts the reader thread.
    if (!RunOne(&StartHourRing) || PluginForm().ValueCount != kValues || !line.Settle(tally)) {
        state.SkipWithError("no whole ring from the meter");
        return;
    }
    const q31::sim::WireTiming wire(kBaud);
    std::vector<double> ms, floors, ratios, packets;
    for (auto _ : state) {
        const std::uint64_t packetsBefore = tally.packets.load();
        const std::uint64_t bytesBefore = tally.bytes.load();
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = RunOne(&StartHourRing);
        const auto t1 = std::chrono::steady_clock::now();
        if (!ok || PluginForm().ValueCount != kValues || !line.Settle(tally)) {
            state.SkipWithError("transfer incomplete");
            return;
        }
        const std::uint64_t n = tally.packets.load() - packetsBefore;
        const double wireMs =
            std::chrono::duration<double, std::milli>(wire.Time(tally.bytes.load() - bytesBefore)).count();
        const double floorMs = wireMs + static_cast<double>(n) * kTimePackageMs + kTimer1TickMs;
        const double took = std::chrono::duration<double, std::milli>(t1 - t0).count();
        ms.push_back(took);
        floors.push_back(floorMs);
        ratios.push_back(took / floorMs);
        packets.push_back(static_cast<double>(n));
    }
    state.counters["floor_ms"] = Median(floors);
    state.counters["median_ms"] = Median(ms);
    state.counters["ratio_to_floor"] = Median(ratios);
    state.counters["worst_ratio"] = ratios.empty() ? 0 : *std::max_element(ratios.begin(), ratios.end());
    state.counters["packets_per_transfer"] = Median(packets);
}

}  // namespace

BENCHMARK(BM_ArchiveHourRingAt9600)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
