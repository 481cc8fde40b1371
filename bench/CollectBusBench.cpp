// A first full collection of a bus: 16 meters on one RS-485 line paced at
// 9600 baud 8N1, read by q31 collect --once into an empty database.
//
// On one line the meters can only be read one after another, so the floor
// is the line itself: the wire time of every byte both ways (as the meters
// count them, so a packet sent again shows in the floor, not in the ratio)
// plus the send delay the protocol demands before each packet. The ratio
// is the whole run of the program, its start and the database included,
// against that floor. Each meter gives its E series of one module, 200
// hourly and 20 daily records (logs and current values left out: they are
// many short requests, and each result waits for the dispatcher's 10 ms
// delivery tick, which the floor does not count, while the line has
// nothing else to carry), which keeps a run near a minute.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/BenchLine.h"
#include "bench/CollectChild.h"
#include "bench/PacedMeter.h"
#include "sim/BusPlan.h"
#include "sim/PtyMeter.h"

namespace q31::bench {
namespace {

constexpr std::uint32_t kBaud = 9600;
constexpr int kBusMeters = 16;

sim::BusPlan BusOf16() {
    sim::BusPlan plan;
    for (int a = 1; a <= kBusMeters; ++a) {
        sim::BusMeterPlan m;
        m.meter.address = static_cast<std::uint8_t>(a);
        m.meter.serialNumber = 6000 + a;
        m.meter.seed = 40 + a;
        m.meter.moduleCount = 1;
        m.meter.hourCount = 200;
        m.meter.dayCount = 20;
        plan.meters.push_back(m);
    }
    return plan;
}

std::string BusConfig(const std::string& dir, const std::string& port) {
    const std::string path = dir + "/bus.toml";
    std::ofstream out(path);
    out << "[defaults]\ntimeout_ms = 1000\nlogs = false\ncurrent_every_min = 0\nseries = [\"e\"]\n";
    for (int a = 1; a <= kBusMeters; ++a)
        out << "\n[[meter]]\nname = \"m" << a << "\"\nport = \"" << port << "\"\naddress = " << a
            << "\nserial = " << 6000 + a << "\n";
    return path;
}

// q31 collect --once into `db`; false unless it read every meter.
bool CollectOnce(const std::string& config, const std::string& db) {
    const pid_t pid = q31::bench::StartCollectOnce(config, db);
    if (pid < 0) return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_CollectBusOf16At9600(benchmark::State& state) {
    char pattern[] = "/tmp/q31-bus-bench.XXXXXX";
    if (!::mkdtemp(pattern)) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string dir = pattern;
    const sim::WireTiming wire(kBaud);
    double tookMs = 0, floorMs = 0, packets = 0;
    int run = 0;
    for (auto _ : state) {
        // A fresh bus each time: the meters' observers tally what the line carried.
        std::atomic<std::uint64_t> bytes{0}, n{0};
        sim::PtyMeter line(PacedOptions(kBaud, false), BusOf16());
        line.SetObserver([&](std::span<const std::uint8_t> request, const sim::MeterReply& reply) {
            bytes += request.size() + reply.bytes.size();
            ++n;
        });
        if (!line.Start()) {
            state.SkipWithError("cannot start the virtual bus");
            return;
        }
        const std::string db = dir + "/bus" + std::to_string(++run) + ".sqlite";
        const std::string config = BusConfig(dir, line.SlavePath());
        const auto t0 = std::chrono::steady_clock::now();
        const bool ok = CollectOnce(config, db);
        const auto t1 = std::chrono::steady_clock::now();
        if (!ok || !WaitTallied(line, [&] { return n.load(); })) {
            state.SkipWithError("the collection failed");
            return;
        }
        line.Stop();
        tookMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
        floorMs += std::chrono::duration<double, std::milli>(wire.Time(bytes.load())).count() +
                   static_cast<double>(n.load()) * kTimePackageMs;
        packets += static_cast<double>(n.load());
    }
    state.counters["floor_ms"] = floorMs / run;
    state.counters["took_ms"] = tookMs / run;
    state.counters["packets"] = packets / run;
    state.counters["ratio_to_floor"] = tookMs / floorMs;
}

}  // namespace

BENCHMARK(BM_CollectBusOf16At9600)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace q31::bench
