// What confirmed reads and the line trace cost on a clean line: the module
// count (four read packets) with confirmation off and on, in turns within one
// run, with a trace handler installed throughout.
#include <algorithm>
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
    std::vector<double> plain, confirmed;
    plain.reserve(1000);
    confirmed.reserve(1000);
    const std::uint64_t allocsBefore = Allocations();
    std::uint64_t requests = 0;
    for (auto _ : state) {
        for (int on = 0; on < 2; ++on) {
            ::SetReadConfirmation(static_cast<std::uint8_t>(on));
            const auto t0 = std::chrono::steady_clock::now();
            if (!RunOne(&StartModuleCount)) {
                state.SkipWithError("no answer");
                break;
            }
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            auto& kept = on ? confirmed : plain;
            if (kept.size() < kept.capacity()) kept.push_back(ms);
            ++requests;
        }
    }
    const std::uint64_t allocs = Allocations() - allocsBefore;
    ::SetReadConfirmation(0);
    ::SetTraceHandler(nullptr, nullptr);
    const double plainMs = Median(plain), confirmedMs = Median(confirmed);
    state.counters["plain_ms"] = plainMs;
    state.counters["confirmed_ms"] = confirmedMs;
    state.counters["confirmed_to_plain"] = plainMs > 0 ? confirmedMs / plainMs : 0;
    state.counters["allocs_per_request_traced"] =
        requests ? static_cast<double>(allocs) / static_cast<double>(requests) : 0;
    state.counters["trace_events"] = g_traceEvents;
}

}  // namespace

BENCHMARK(BM_ConfirmedModuleCount)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
