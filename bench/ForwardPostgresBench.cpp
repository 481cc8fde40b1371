// The PostgreSQL sink against the server's own bulk load: a million archive
// values shipped as the forwarder hands them over (groups of 5000 values, one
// transaction each, made of batches of 500 as the collector stores a series)
// against psql's \copy of the same rows into the same table, emptied, on a
// server with its default, durable settings that the benchmark starts.
// `ratio` is the sink's rate over \copy's, both measured in this run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "tests/forward/PostgresServer.h"
#include "tools/q31/forward/PostgresSink.h"

namespace q31::bench {
namespace {

using tool::forward::JournalBatch;

constexpr int kValues = 1000000;
constexpr int kBatchValues = 500;
constexpr int kGroupValues = 5000;
const char* const kSeries[] = {"e_hour", "t_hour", "u_hour", "m_hour", "stop_hour",
                               "e_day",  "t_day",  "u_day",  "m_day",  "stop_day"};

// 2000 batches: 200 meters of 10 series each.
std::vector<std::vector<JournalBatch>> Groups() {
    std::vector<std::vector<JournalBatch>> groups;
    std::int64_t seq = 0;
    std::uint64_t noise = 12345;
    for (int b = 0; b < kValues / kBatchValues; ++b) {
        if (b % (kGroupValues / kBatchValues) == 0) groups.emplace_back();
        JournalBatch batch;
        batch.seq = ++seq;
        batch.meter = "meter-" + std::to_string(1000 + b / 10);
        batch.serial = 300000 + b / 10;
        batch.archive.series = kSeries[b % 10];
        batch.archive.module = 1;
        batch.archive.first = 100;
        std::int64_t value = 1000000;
        for (int i = 0; i < kBatchValues; ++i) {
            noise = noise * 6364136223846793005ULL + 1442695040888963407ULL;
            value += static_cast<std::int64_t>(noise >> 54);
            batch.archive.values.push_back(value);
        }
        groups.back().push_back(std::move(batch));
    }
    return groups;
}

void WriteCsv(const std::string& path, const std::vector<std::vector<JournalBatch>>& groups) {
    std::ofstream out(path);
    for (const auto& group : groups) {
        for (const JournalBatch& b : group) {
            const std::string head = "bench," + b.meter + "," + std::to_string(b.serial) + ",0,1," + b.archive.series;
            for (std::size_t i = 0; i < b.archive.values.size(); ++i) {
                // The generation, then the record's time and quantity, none
                // here (NULL, false, NULL, NULL), as the sink ships them.
                out << head << ',' << b.archive.first + i << ',' << b.archive.values[i] << ",0123456789abcdef,,f,,\n";
            }
        }
    }
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_ForwardPostgres(benchmark::State& state) {
    if (!test::PostgresServer::Available()) {
        state.SkipWithError("no PostgreSQL server under /usr/lib/postgresql");
        return;
    }
    test::PostgresServer server(true);
    server.CreateDatabase("bench");
    const auto groups = Groups();
    const std::string csv = server.Dir() + "/values.csv";
    WriteCsv(csv, groups);
    tool::forward::PostgresSinkSettings settings;
    settings.url = server.Url("bench");
    tool::forward::PostgresSink sink(settings, "bench");
    sink.Connect({"0123456789abcdef", 0, 0});
    const std::string copy = server.Psql() + " -q -X '" + server.Url("bench") + "' -c \"\\copy archive_values FROM '" +
                             csv + "' WITH (FORMAT csv)\"";

    double sinkS = 0;
    double copyS = 0;
    for (auto _ : state) {
        server.Exec("bench", "TRUNCATE archive_values; TRUNCATE q31_forward; CHECKPOINT");
        auto start = std::chrono::steady_clock::now();
        if (std::system(copy.c_str()) != 0) {
            state.SkipWithError("psql \\copy failed");
            return;
        }
        copyS = Seconds(start);
        server.Exec("bench", "TRUNCATE archive_values; CHECKPOINT");
        start = std::chrono::steady_clock::now();
        for (const auto& group : groups) sink.Ship(group);
        sinkS = Seconds(start);
        state.SetIterationTime(sinkS);
    }
    if (server.Rows("bench", "SELECT count(*) FROM archive_values") != std::vector<std::string>{"1000000"}) {
        state.SkipWithError("the sink did not store every value");
    }
    state.counters["sink_s"] = sinkS;
    state.counters["copy_s"] = copyS;
    state.counters["values_per_s"] = kValues / sinkS;
    state.counters["ratio"] = copyS / sinkS;
}

BENCHMARK(BM_ForwardPostgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace q31::bench
