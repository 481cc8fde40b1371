// What shipping costs the collection: one pass of `q31 collect --once` over
// eight virtual meters on one line, with both sinks on (a PostgreSQL server
// and an MQTT broker that the benchmark starts) and with none, taken in
// turns. The time is until the run's summary, that is the collection alone:
// a run from cron then waits for the sinks, which is not collecting.
// `ratio` is the median with sinks over the median without, in this run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "tests/forward/MosquittoServer.h"
#include "tests/forward/PostgresServer.h"

namespace q31::bench {
namespace {

std::string Fleet(const std::string& sinks) {
    std::string text = "[collect]\ngateway = \"bench\"\n" + sinks + "[defaults]\ncurrent_every_min = 1\n";
    for (int m = 0; m < 8; ++m) {
        text += "[[meter]]\nname = \"m" + std::to_string(m) +
                "\"\nport = \"sim:40\"\nserial = " + std::to_string(4000 + m) +
                "\naddress = " + std::to_string(201 + m) +
                "\n  [meter.sim]\n  modules = 1\n  hour_count = 400\n  day_count = 60\n";
    }
    return text;
}

// Seconds from the start to the summary line.
double Collect(const std::string& dir, const std::string& config, int run) {
    const std::string db = dir + "/run" + std::to_string(run) + ".sqlite";
    const std::string command =
        std::string(Q31_TOOL_PROGRAM) + " collect --once --config " + config + " --db " + db + " 2>/dev/null";
    const auto start = std::chrono::steady_clock::now();
    double seconds = -1;
    if (std::FILE* out = popen(command.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, out))
            if (seconds < 0 && std::string(line).rfind("collect", 0) == 0)
                seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        pclose(out);
    }
    return seconds;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_CollectWithTwoSinksAgainstNone(benchmark::State& state) {
    if (!test::PostgresServer::Available() || !test::MosquittoServer::Available()) {
        state.SkipWithError("PostgreSQL or mosquitto missing");
        return;
    }
    const std::string dir = test::MakeScratchDir("q31-bench-forward");
    test::PostgresServer pg;
    pg.CreateDatabase("fleet");
    test::MosquittoServer broker;
    if (!broker.Start()) {
        state.SkipWithError("the broker did not start");
        return;
    }
    const std::string plain = dir + "/plain.toml";
    const std::string shipping = dir + "/shipping.toml";
    std::ofstream(plain) << Fleet("");
    std::ofstream(shipping) << Fleet("[sink.postgres]\nurl = \"" + pg.Url("fleet") +
                                     "\"\n[sink.mqtt]\nport = " + std::to_string(broker.Port()) + "\n");
    std::vector<double> without;
    std::vector<double> with;
    int run = 0;
    for (auto _ : state) {
        without.push_back(Collect(dir, plain, ++run));
        with.push_back(Collect(dir, shipping, ++run));
    }
    state.counters["none_s"] = Median(without);
    state.counters["sinks_s"] = Median(with);
    state.counters["ratio"] = Median(with) / Median(without);
}
BENCHMARK(BM_CollectWithTwoSinksAgainstNone)->Iterations(5)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace q31::bench
