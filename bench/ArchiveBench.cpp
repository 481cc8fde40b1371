// A whole hourly ring of 8-byte archive values against the virtual meter:
// identification, the counters and 108 packets of 0x90, ten values each.
//
// Reported: the wall time of one transfer over its floor, the delays the
// protocol itself imposes (the send delay of each of the 110 packets and one
// dispatcher tick), and the heap allocations during the transfers.
#include <algorithm>
#include <chrono>
#include <vector>

#include "bench/BenchLine.h"
#include "plugin/TFXB.h"
#include "plugin/exports/PluginInstance.h"

namespace q31::bench {
namespace {

constexpr int kRingPackets = 108;  // 1080 values, 10 a packet
constexpr int kOtherPackets = 2;   // identification and counters
constexpr std::uint32_t kValues = 1080;

// The virtual meter's layout (version word 0x00F0: 256-byte records).
SDevIdent g_archiveDev{5120, 0x00F0, 310001, 0, {0, 0}};

std::uint8_t StartHourRing() { return ::GetArhiveU_Hour(&g_archiveDev, 1, 0); }

void BM_ArchiveHourRing(benchmark::State& state) {
    Line line;
    if (!line.Open(state.range(0) != 0, {"--hour-count", "2000"})) {
        state.SkipWithError("cannot start the virtual meter");
        return;
    }
    // The first transfer starts the reader thread.
    if (!RunOne(&StartHourRing) || PluginForm().ValueCount != kValues) {
        state.SkipWithError("no whole ring from the meter");
        return;
    }
    const double floorMs = (kRingPackets + kOtherPackets) * kTimePackageMs + kTimer1TickMs;
    std::vector<double> ms;
    ms.reserve(1000);
    std::uint64_t allocations = 0;
    std::uint64_t transfers = 0;
    for (auto _ : state) {
        const std::uint64_t before = q31::bench::Allocations();
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = RunOne(&StartHourRing);
        const auto t1 = std::chrono::steady_clock::now();
        allocations += q31::bench::Allocations() - before;
        if (!ok || PluginForm().ValueCount != kValues) {
            state.SkipWithError("transfer incomplete");
            return;
        }
        if (ms.size() < ms.capacity()) ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        ++transfers;
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms.empty() ? 0 : ms[ms.size() / 2];
    state.counters["floor_ms"] = floorMs;
    state.counters["median_ms"] = median;
    state.counters["ratio_to_floor"] = median / floorMs;
    state.counters["allocs_per_transfer"] =
        transfers ? static_cast<double>(allocations) / static_cast<double>(transfers) : 0;
}

}  // namespace

BENCHMARK(BM_ArchiveHourRing)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
