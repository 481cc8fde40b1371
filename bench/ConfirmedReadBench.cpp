// What confirmed reads and the line trace cost on a clean line: the module
// count (four read packets) with confirmation off, always and automatic, in
// turns within one run, with a trace handler installed throughout. Always
// pays a second send of every read; automatic confirms only after the line
// has shown a fault, so on a clean line it should cost next to nothing.
#include <algorithm>
#include <array>
#include <vector>

#include "bench/BenchLine.h"

namespace q31::bench {
namespace {

std::uint8_t StartModuleCount() { return ::GetModuleCount(&g_dev); }

int g_traceEvents = 0;
void Q31_CALL CountTrace(const TQ31TraceEvent*, void*) { ++g_traceEvents; }

double Median(std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_ConfirmedModuleCount(benchmark::State& state) {
    Line line;
    if (!line.Open(state.range(0) != 0)) {
        state.SkipWithError("cannot start the virtual meter");
        return;
    }
    ::SetTraceHandler(&CountTrace, nullptr);
    RunOne(&StartModuleCount);  // the first request starts the reader thread
    // Indexed by the confirmation mode: off, always, automatic.
    std::array<std::vector<double>, 3> kept;
    for (auto& v : kept) v.reserve(1000);
    const std::uint64_t allocsBefore = Allocations();
    std::uint64_t requests = 0;
    for (auto _ : state) {
        for (std::uint8_t mode = 0; mode < 3; ++mode) {
            ::SetReadConfirmation(mode);
            const auto t0 = std::chrono::steady_clock::now();
            if (!RunOne(&StartModuleCount)) {
                state.SkipWithError("no answer");
                break;
            }
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            if (kept[mode].size() < kept[mode].capacity()) kept[mode].push_back(ms);
            ++requests;
        }
    }
    const std::uint64_t allocs = Allocations() - allocsBefore;
    ::SetReadConfirmation(0);
    ::SetTraceHandler(nullptr, nullptr);
    const double plainMs = Median(kept[0]), confirmedMs = Median(kept[1]), autoMs = Median(kept[2]);
    state.counters["plain_ms"] = plainMs;
    state.counters["confirmed_ms"] = confirmedMs;
    state.counters["confirmed_to_plain"] = plainMs > 0 ? confirmedMs / plainMs : 0;
    state.counters["auto_ms"] = autoMs;
    state.counters["auto_to_plain"] = plainMs > 0 ? autoMs / plainMs : 0;
    state.counters["allocs_per_request_traced"] =
        requests ? static_cast<double>(allocs) / static_cast<double>(requests) : 0;
    state.counters["trace_events"] = g_traceEvents;
}

}  // namespace

BENCHMARK(BM_ConfirmedModuleCount)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
