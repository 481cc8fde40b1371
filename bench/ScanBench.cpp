// q31 scan over every address of a line at 9600 baud 8N1 with the default
// scan time-out, four virtual meters on the line.
//
// The floor is what a scan cannot go below: at each address the
// identification packet on the wire and the scan time-out spent waiting for
// an answer. The ratio to it shows what the send delay of every packet, the
// confirmation of the meter found and the program's own work add.
#include <benchmark/benchmark.h>

#include <chrono>
#include <iterator>

#include "sim/PtyMeter.h"
#include "sim/WireTiming.h"
#include "support/HostPort.h"
#include "tools/q31/cli/LineScan.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::bench {
namespace {

constexpr std::uint32_t kBaud = 9600;
constexpr int kAddresses = 238;
constexpr int kScanTimeoutMs = 200;
constexpr int kMeterAddresses[] = {1, 57, 120, 238};
constexpr std::size_t kIdentificationPacket = 6;
constexpr double kTarget = 1.1;

// The plug-in linked into this program, seen as q31 sees the library it
// loads: the scan goes through the same exports.
void UseLinkedPlugin(tool::PluginApi& api) {
    api.options_init = &::q31_options_init;
    api.session_open = &::q31_session_open;
    api.session_close = &::q31_session_close;
    api.session_set_trace = &::q31_session_set_trace;
    api.cancel = &::q31_cancel;
    api.probe_id = &::q31_probe_id;
    api.quiet_bound_ms = &::q31_quiet_bound_ms;
    api.strerror = &::q31_strerror;
    api.PumpMessages = &::PumpMessages;
}

void BM_ScanWholeLineAt9600(benchmark::State& state) {
    sim::BusPlan plan;
    for (const int address : kMeterAddresses) {
        sim::BusMeterPlan m;
        m.meter.address = static_cast<std::uint8_t>(address);
        m.meter.serialNumber = 100000u + static_cast<std::uint32_t>(address);
        plan.meters.push_back(m);
    }
    sim::PtyMeterOptions options;
    options.wire = sim::WireTiming(kBaud);
    sim::PtyMeter meter(options, plan);
    if (!meter.Start()) {
        state.SkipWithError("cannot start the virtual meter");
        return;
    }
    const PortHandle port = OpenHostPort(meter.SlavePath().c_str(), static_cast<int>(kBaud));
    if (!PortUsable(port)) {
        state.SkipWithError("cannot open the meter's line");
        return;
    }
    const double packetMs =
        std::chrono::duration<double, std::milli>(sim::WireTiming(kBaud).Time(kIdentificationPacket)).count();
    const double floorMs = kAddresses * (kScanTimeoutMs + packetMs);
    double took = 0;
    std::size_t found = 0;
    bool right = false;
    for (auto _ : state) {
        tool::LineTrace trace;
        tool::PluginApi api;
        UseLinkedPlugin(api);
        q31_options line{};
        ::q31_options_init(&line);
        tool::ScanLink link(api, port, line, trace);
        const auto t0 = std::chrono::steady_clock::now();
        const std::vector<tool::ScanHit> hits = tool::ScanLine(link, {1, kAddresses, kScanTimeoutMs, 2000}, {});
        took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        found = hits.size();
        right = found == std::size(kMeterAddresses);
        for (std::size_t i = 0; right && i < found; ++i) right = hits[i].address == kMeterAddresses[i];
    }
    CloseHostPort(port);
    meter.Stop();
    if (!right) state.SkipWithError("the scan did not find exactly the four meters at their addresses");
    state.counters["scan_ms"] = took;
    state.counters["floor_ms"] = floorMs;
    state.counters["ratio_to_floor"] = took / floorMs;
    state.counters["within_target"] = took / floorMs <= kTarget ? 1 : 0;
    state.counters["meters_found"] = static_cast<double>(found);
}

}  // namespace

BENCHMARK(BM_ScanWholeLineAt9600)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace q31::bench
