// A fleet behind serial servers: 1,000 virtual meters on 50 TCP channels
// (q31-sim's socket lines, as a device server in TCP server mode serves a
// bus) of 20 meters each, every line paced at 9600 baud 8N1, read by one
// q31 collect --once process.
//
// The pass timed is the first incremental one: the database already holds
// each meter's E series of one module up to ten hours ago (an untimed pass
// over the same meters with ten records fewer), and the pass reads the ten
// hourly records written since. Channels run side by side and the meters of
// one channel one after another, so the floor is the slowest channel's
// line: the wire time of every byte both ways (as its meters count them)
// plus the send delay the protocol demands before each packet and the
// dispatcher's delivery tick after each request (one meter after another,
// no other session's exchange fills it). The ratio is
// the whole run of the program, its start and the database included,
// against that floor. Also reported: the collector's peak resident memory
// and the most threads it ran at once.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/BenchLine.h"
#include "bench/CollectChild.h"
#include "bench/PacedMeter.h"
#include "sim/BusPlan.h"
#include "sim/PtyMeter.h"
#include "sim/SocketLine.h"

namespace q31::bench {
namespace {

constexpr std::uint32_t kBaud = 9600;
constexpr int kChannels = 50;
constexpr int kPerChannel = 20;
constexpr std::uint32_t kKnownHours = 30;
constexpr std::uint32_t kNewHours = 10;

std::uint32_t SerialOf(int channel, int address) {
    return static_cast<std::uint32_t>(700000 + channel * 100 + address);
}

sim::BusPlan ChannelBus(int channel, std::uint32_t hours) {
    sim::BusPlan plan;
    for (int a = 1; a <= kPerChannel; ++a) {
        sim::BusMeterPlan m;
        m.meter.address = static_cast<std::uint8_t>(a);
        m.meter.serialNumber = SerialOf(channel, a);
        m.meter.seed = static_cast<std::uint64_t>(1000 + channel * 100 + a);
        m.meter.moduleCount = 1;
        m.meter.hourCount = hours;
        m.meter.dayCount = 2;
        plan.meters.push_back(m);
    }
    return plan;
}

using Clock = std::chrono::steady_clock;

// One channel: its socket line and what its meters counted on it.
struct Channel {
    std::unique_ptr<sim::PtyMeter> line;
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> packets{0};
    // Requests: a packet that follows the last reply by more than the send
    // delay and the wire time begins one, after the dispatcher's delivery
    // tick of the request before. Line thread only.
    std::uint64_t requests = 0;
    Clock::time_point lastReply{};
};

bool StartFleet(std::vector<std::unique_ptr<Channel>>& fleet, std::uint32_t hours) {
    fleet.clear();
    for (int c = 0; c < kChannels; ++c) {
        auto ch = std::make_unique<Channel>();
        ch->line = std::make_unique<sim::PtyMeter>(PacedOptions(kBaud, false), ChannelBus(c, hours),
                                                   std::make_unique<sim::SocketLine>("127.0.0.1", 0));
        Channel* raw = ch.get();
        ch->line->SetObserver([raw](std::span<const std::uint8_t> request, const sim::MeterReply& reply) {
            const auto now = Clock::now();
            const auto busy = sim::WireTiming(kBaud).Time(request.size() + reply.bytes.size()) +
                              std::chrono::duration<double, std::milli>(kTimePackageMs + kTimer1TickMs / 2);
            if (raw->lastReply == Clock::time_point{} || now - raw->lastReply > busy) ++raw->requests;
            raw->lastReply = now;
            raw->bytes += request.size() + reply.bytes.size();
            ++raw->packets;
        });
        if (!ch->line->Start()) return false;
        fleet.push_back(std::move(ch));
    }
    return true;
}

std::string FleetConfig(const std::string& dir, const std::vector<std::unique_ptr<Channel>>& fleet) {
    const std::string path = dir + "/fleet.toml";
    std::ofstream out(path);
    out << "[defaults]\ntimeout_ms = 1000\nlogs = false\ncurrent_every_min = 0\nseries = [\"e_hour\"]\n"
           "modules = [1]\n";
    for (int c = 0; c < kChannels; ++c)
        for (int a = 1; a <= kPerChannel; ++a)
            out << "\n[[meter]]\nname = \"c" << c << "m" << a << "\"\nport = \"" << fleet[c]->line->SlavePath()
                << "\"\naddress = " << a << "\nserial = " << SerialOf(c, a) << "\n";
    return path;
}

struct RunFigures {
    bool ok = false;
    double seconds = 0;
    long peakKb = 0;
    int threads = 0;
};

// The threads and the peak resident set (VmHWM) of the process, once it
// runs q31: before its exec it is the forked copy of this one.
void LookAt(pid_t pid, RunFigures& f) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long threads = 0, peakKb = 0;
    bool q31 = false;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Name:", 0) == 0) q31 = line.find("q31_bench") == std::string::npos;
        if (line.rfind("Threads:", 0) == 0) threads = std::atol(line.c_str() + 8);
        if (line.rfind("VmHWM:", 0) == 0) peakKb = std::atol(line.c_str() + 6);
    }
    if (!q31) return;
    f.threads = std::max(f.threads, static_cast<int>(threads));
    f.peakKb = std::max(f.peakKb, peakKb);
}

// q31 collect --once into `db`, its threads and memory looked at as it runs.
// The peak resident set is the program's own (VmHWM, since its exec), not
// the forked copy of this process, which holds the whole fleet's memories.
RunFigures CollectOnce(const std::string& config, const std::string& db) {
    RunFigures f;
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = q31::bench::StartCollectOnce(config, db, true);
    if (pid < 0) return f;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return f;
        LookAt(pid, f);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return f;
}

void BM_CollectFleetTcp(benchmark::State& state) {
    char pattern[] = "/tmp/q31-fleet-bench.XXXXXX";
    if (!::mkdtemp(pattern)) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string dir = pattern;
    const sim::WireTiming wire(kBaud);
    for (auto _ : state) {
        const std::string db = dir + "/fleet.sqlite";
        std::vector<std::unique_ptr<Channel>> fleet;
        // The pass before: the meters as they were ten hours ago.
        if (!StartFleet(fleet, kKnownHours) || !CollectOnce(FleetConfig(dir, fleet), db).ok) {
            state.SkipWithError("the priming pass failed");
            return;
        }
        if (!StartFleet(fleet, kKnownHours + kNewHours)) {
            state.SkipWithError("cannot start the fleet");
            return;
        }
        const RunFigures run = CollectOnce(FleetConfig(dir, fleet), db);
        bool tallied = run.ok;
        for (auto& ch : fleet) tallied = tallied && WaitTallied(*ch->line, [&] { return ch->packets.load(); });
        if (!tallied) {
            state.SkipWithError("the incremental pass failed");
            return;
        }
        // The floor: wire time, the send delay of each packet and the
        // delivery tick of each request; without the ticks, as the bus
        // benchmark counts it, for comparison.
        double floorS = 0, wireFloorS = 0, packets = 0, requests = 0;
        for (auto& ch : fleet) {
            ch->line->Stop();
            const double s = std::chrono::duration<double>(wire.Time(ch->bytes.load())).count() +
                             static_cast<double>(ch->packets.load()) * kTimePackageMs / 1000.0;
            wireFloorS = std::max(wireFloorS, s);
            floorS = std::max(floorS, s + static_cast<double>(ch->requests) * kTimer1TickMs / 1000.0);
            packets += static_cast<double>(ch->packets.load());
            requests += static_cast<double>(ch->requests);
        }
        state.counters["took_s"] = run.seconds;
        state.counters["floor_s"] = floorS;
        state.counters["ratio_to_floor"] = run.seconds / floorS;
        state.counters["ratio_to_floor_without_ticks"] = run.seconds / wireFloorS;
        state.counters["packets"] = packets;
        state.counters["requests"] = requests;
        state.counters["peak_rss_mb"] = static_cast<double>(run.peakKb) / 1024.0;
        state.counters["threads"] = run.threads;
        state.counters["channels"] = kChannels;
    }
}

}  // namespace

BENCHMARK(BM_CollectFleetTcp)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace q31::bench
