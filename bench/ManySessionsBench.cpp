// Many meters at once through the context API: N sessions, each on its own
// virtual meter (a q31-sim process on its own pseudo-terminal), all reading
// their current values and then a whole hourly ring of 8-byte values
// (1080 values, 108 packets of 0x90) at the same time, on one thread.
//
// Reported: `sessions`; `ratio_to_single`, the wall time of the N together
// over that of one session doing the same alone (measured in the same run,
// on the first meter); the library's CPU time per packet; the resident
// memory each session adds (components, buffers and reader thread); and the
// heap allocations during the timed rounds.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/AllocationCounter.h"
#include "bench/BenchLine.h"

namespace q31::bench {
namespace {

constexpr std::uint32_t kRingValues = 1080;
// Identification, pointer record and last measurement; identification,
// counters and 108 archive packets.
constexpr int kPacketsPerSession = 3 + 2 + 108;

struct MeterProcess {
    q31::ChildProcess process;
    q31::PortHandle port = -1;
    SDevIdent dev{};
    bool Open(int index) {
        const std::uint32_t serial = 500000 + static_cast<std::uint32_t>(index);
        if (!process.Start(Q31_SIM_PROGRAM, {"--hour-count", "2000", "--serial", std::to_string(serial), "--seed",
                                             std::to_string(100 + index)}))
            return false;
        const std::string path = process.FirstLine(5000);
        if (path.empty()) return false;
        port = q31::OpenHostPort(path.c_str(), 115200);
        dev = SDevIdent{5120, 0x00F0, serial, 0, {0, 0}};
        return port > 0;
    }
    ~MeterProcess() {
        if (port > 0) q31::CloseHostPort(port);
        process.Stop();
    }
};

// One session's round: current values, then the ring, chained from the callback.
struct Reader {
    q31_session* session = nullptr;
    const SDevIdent* dev = nullptr;
    bool done = false;
    bool ok = false;

    static void Q31_CALL Current(const q31_result* r, const SCurrentData*, void* user) {
        auto& self = *static_cast<Reader*>(user);
        if (r->status != Q31_OK ||
            q31_get_archive_series(self.session, self.dev, Q31_SERIES_U_HOUR, 1, 0, &Ring, user) != Q31_OK)
            self.done = true;
    }
    static void Q31_CALL Ring(const q31_result* r, const void*, std::uint32_t count, std::uint32_t, void* user) {
        auto& self = *static_cast<Reader*>(user);
        self.ok = r->status == Q31_OK && count == kRingValues;
        self.done = true;
    }
    bool Start() {
        done = ok = false;
        return q31_get_current_data(session, dev, &Current, this) == Q31_OK;
    }
};

double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double RssKb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// Runs one round on `readers`; returns its wall time in ms, or a negative
// value when a reader failed.
double Round(std::vector<Reader>& readers) {
    const auto t0 = std::chrono::steady_clock::now();
    for (Reader& r : readers)
        if (!r.Start()) return -1;
    const auto deadline = t0 + std::chrono::seconds(60);
    while (!std::all_of(readers.begin(), readers.end(), [](const Reader& r) { return r.done; })) {
        if (std::chrono::steady_clock::now() > deadline) return -1;
        ::PumpMessages(50);
    }
    for (const Reader& r : readers)
        if (!r.ok) return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void BM_ManySessions(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<MeterProcess>> meters;
    for (int i = 0; i < n; ++i) {
        meters.push_back(std::make_unique<MeterProcess>());
        if (!meters.back()->Open(i)) {
            state.SkipWithError("cannot start a virtual meter");
            return;
        }
    }
    q31_options options;
    q31_options_init(&options);
    options.timeout_ms = 1000;

    const double rssBefore = RssKb();
    std::vector<q31_session*> sessions;
    std::vector<Reader> readers(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        sessions.push_back(q31_session_open(meters[static_cast<std::size_t>(i)]->port, &options));
        readers[static_cast<std::size_t>(i)].session = sessions.back();
        readers[static_cast<std::size_t>(i)].dev = &meters[static_cast<std::size_t>(i)]->dev;
    }
    auto closeAll = [&] {
        for (q31_session* s : sessions) q31_session_close(s);
    };
    // The first round starts every reader thread; it also is the baseline's warm-up.
    if (Round(readers) < 0) {
        closeAll();
        state.SkipWithError("a session failed");
        return;
    }
    const double rssPerSessionKb = (RssKb() - rssBefore) / n;
    std::vector<Reader> single(readers.begin(), readers.begin() + 1);
    const double singleMs = Round(single);

    std::vector<double> wallMs;
    double cpuMs = 0;
    std::uint64_t rounds = 0;
    const std::uint64_t allocationsBefore = Allocations();
    for (auto _ : state) {
        const double cpu0 = CpuMs();
        const double ms = Round(readers);
        cpuMs += CpuMs() - cpu0;
        if (ms < 0) {
            state.SkipWithError("a session failed");
            break;
        }
        wallMs.push_back(ms);
        ++rounds;
    }
    const std::uint64_t allocations = Allocations() - allocationsBefore;
    closeAll();
    if (wallMs.empty() || singleMs <= 0) return;
    std::sort(wallMs.begin(), wallMs.end());
    const double median = wallMs[wallMs.size() / 2];
    state.counters["sessions"] = n;
    state.counters["single_ms"] = singleMs;
    state.counters["median_ms"] = median;
    state.counters["ratio_to_single"] = median / singleMs;
    state.counters["cpu_ms_per_packet"] = cpuMs / (static_cast<double>(rounds) * n * kPacketsPerSession);
    state.counters["rss_kb_per_session"] = rssPerSessionKb;
    state.counters["allocs_per_round"] = static_cast<double>(allocations) / static_cast<double>(rounds);
}

}  // namespace

BENCHMARK(BM_ManySessions)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->ArgName("sessions")
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
