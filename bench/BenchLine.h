// The line the benchmarks use: the virtual meter as its own process on a
// pseudo-terminal (so every allocation counted here is the library's or the
// host's), the plug-in's exports, and a request timer.
//
// Reported per request: the wall time beyond the delays the protocol itself
// imposes (the send delay of every packet and one dispatcher tick), and the
// heap allocations after the first request.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench/AllocationCounter.h"
#include "publicQ31.h"
#include "support/ChildProcess.h"
#include "support/HostPort.h"

namespace q31::bench {

inline int g_done = 0;
// Every callback a benchmark installs counts as the end of its request.
template <typename... Args>
void Q31_CALL Done(Args...) {
    ++g_done;
}

inline constexpr double kTimePackageMs = 10.0;
inline constexpr double kTimer1TickMs = 10.0;

// The virtual meter as a child process and the plug-in's slot record on its line.
struct Line {
    q31::ChildProcess meter;
    q31::PortHandle port = q31::kNoPort;
    // Starts q31-sim (with extra `args`) and hands its line to the plug-in.
    bool Open(bool echo, std::vector<std::string> args = {}) {
        if (echo) args.push_back("--echo");
        if (!meter.Start(Q31_SIM_PROGRAM, args)) return false;
        const std::string path = meter.FirstLine(5000);
        port = path.empty() ? q31::kNoPort : q31::OpenHostPort(path.c_str(), 115200);
        if (!q31::PortUsable(port)) return false;
        TQ31Slot slot{};
        slot.Handle = port;
        slot.EchoFlag = echo ? 0 : 1;
        slot.TimeOut = 1000;
        slot.OnID = &Done<SDevIdent*>;
        slot.OnModuleCount = &Done<std::uint32_t>;
        slot.OnModuleRecord = &Done<SModuleRecord*>;
        slot.OnCurrentData = &Done<SCurrentData*>;
        slot.OnAccumulatedData = &Done<SAccumulatedData*>;
        slot.OnArhiveCount = &Done<SArhiveCount*>;
        for (TQ31OnArhive32* f : {&slot.OnArhiveTime_Hour, &slot.OnArhiveStop_Hour, &slot.OnArhiveT_Hour,
                                  &slot.OnArhiveTime_Day, &slot.OnArhiveStop_Day, &slot.OnArhiveT_Day})
            *f = &Done<std::int32_t*, std::uint32_t>;
        for (TQ31OnArhive64* f : {&slot.OnArhiveU_Hour, &slot.OnArhiveM_Hour, &slot.OnArhiveE_Hour, &slot.OnArhiveU_Day,
                                  &slot.OnArhiveM_Day, &slot.OnArhiveE_Day})
            *f = &Done<std::int64_t*, std::uint32_t>;
        slot.OnErrorHDev = slot.OnErrorHModule = &Done<std::uint16_t*, std::uint32_t>;
        slot.OnErrorDataDev = slot.OnErrorDataModule = slot.OnEditDataModule = &Done<std::uint8_t*, std::uint32_t>;
        slot.OnEditHModule = &Done<std::uint16_t*>;
        ::InitSlot(&slot);
        return true;
    }
    ~Line() {
        q31::CloseHostPort(port);
        meter.Stop();
    }
};

// Runs one request to its callback.
inline bool RunOne(std::uint8_t (*start)()) {
    const int before = g_done;
    if (start() != 0) return false;
    for (int i = 0; g_done == before; ++i) {
        if (i > 5000) return false;
        ::PumpMessages(5);
    }
    return true;
}

// The identity of the virtual meter with its default serial number.
inline SDevIdent g_dev{5120, 0, 310001, 0, {0, 0}};

// Times `start` requests to their callbacks. `packets`: how many packets one
// request sends (each waits TimePackage).
inline void Measure(benchmark::State& state, std::uint8_t (*start)(), int packets,
                    std::vector<std::string> meterArgs = {}) {
    Line line;
    if (!line.Open(state.range(0) != 0, std::move(meterArgs))) {
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

}  // namespace q31::bench
