// Requests against the virtual meter on a pseudo-terminal, through the
// plug-in's exports, as a host makes them. The meter runs as its own process
// so that every allocation counted here is the library's or the host's.
//
// Reported per request: the wall time beyond the delays the protocol itself
// imposes (the send delay of every packet and one dispatcher tick), and the
// heap allocations after the first request.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/AllocationCounter.h"
#include "platform/ChildProcess.h"
#include "platform/HostPort.h"
#include "publicQ31.h"

namespace {

int g_done = 0;
void Q31_CALL Done(SDevIdent*) { ++g_done; }
void Q31_CALL DoneCount(std::uint32_t) { ++g_done; }

constexpr double kTimePackageMs = 10.0;
constexpr double kTimer1TickMs = 10.0;

struct Line {
    q31::ChildProcess meter;
    q31::PortHandle port = 0;
    bool Open(bool echo) {
        std::vector<std::string> args;
        if (echo) args.push_back("--echo");
        if (!meter.Start(Q31_SIM_PROGRAM, args)) return false;
        const std::string path = meter.FirstLine(5000);
        port = path.empty() ? 0 : q31::OpenHostPort(path.c_str(), 115200);
        if (!port) return false;
        TQ31Slot slot{};
        slot.Handle = port;
        slot.EchoFlag = echo ? 0 : 1;
        slot.TimeOut = 1000;
        slot.OnID = &Done;
        slot.OnModuleCount = &DoneCount;
        ::InitSlot(&slot);
        return true;
    }
    ~Line() {
        q31::CloseHostPort(port);
        meter.Stop();
    }
};

bool RunOne(std::uint8_t (*start)()) {
    const int before = g_done;
    if (start() != 0) return false;
    for (int i = 0; g_done == before; ++i) {
        if (i > 5000) return false;
        ::PumpMessages(5);
    }
    return true;
}

SDevIdent g_dev{5120, 0, 310001, 0, {0, 0}};
std::uint8_t StartGetID() { return ::GetID(); }
std::uint8_t StartModuleCount() { return ::GetModuleCount(&g_dev); }

// `packets`: how many packets one request sends (each waits TimePackage).
void Measure(benchmark::State& state, std::uint8_t (*start)(), int packets) {
    Line line;
    if (!line.Open(state.range(0) != 0)) {
        state.SkipWithError("cannot start the virtual meter");
        return;
    }
    RunOne(start);  // the first request starts the reader thread
    const double floorMs = packets * kTimePackageMs + kTimer1TickMs;
    std::vector<double> overMs;
    overMs.reserve(10000);
    const std::uint64_t allocsBefore = q31::bench::Allocations();
    std::uint64_t requests = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!RunOne(start)) {
            state.SkipWithError("no answer");
            return;
        }
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (overMs.size() < overMs.capacity()) overMs.push_back(ms - floorMs);
        ++requests;
    }
    const std::uint64_t allocs = q31::bench::Allocations() - allocsBefore;
    std::sort(overMs.begin(), overMs.end());
    state.counters["median_over_floor_ms"] = overMs.empty() ? 0 : overMs[overMs.size() / 2];
    state.counters["median_over_floor_per_packet_ms"] = overMs.empty() ? 0 : overMs[overMs.size() / 2] / packets;
    state.counters["allocs_per_request"] = requests ? static_cast<double>(allocs) / static_cast<double>(requests) : 0;
}

void BM_GetID(benchmark::State& state) { Measure(state, &StartGetID, 1); }
void BM_GetModuleCount(benchmark::State& state) { Measure(state, &StartModuleCount, 4); }

}  // namespace

BENCHMARK(BM_GetID)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetModuleCount)->Arg(0)->Arg(1)->ArgName("echo")->Iterations(50)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
