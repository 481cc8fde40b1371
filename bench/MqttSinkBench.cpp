// Messages per second through the MQTT sink against mosquitto_pub, the
// broker's own client, sending the same messages to the same broker with
// the same guarantee (QoS 1, each acknowledged) in one run.
//
// The messages are an hourly series' batches of one meter: 24 values each,
// about 250 bytes, all on one topic, so that mosquitto_pub -l can send them
// as lines. Both sides include their connection (and mosquitto_pub its
// start), which the number of messages makes small; what is compared is the
// sink's JSON, its bookkeeping of acknowledgements and the forwarder's
// all-or-nothing wait against a client that only sends lines.
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "tests/forward/MosquittoServer.h"
#include "tools/q31/forward/MqttSink.h"

namespace q31::bench {
namespace {

constexpr int kBatches = 5000;

std::vector<tool::forward::JournalBatch> HourlyBatches() {
    std::vector<tool::forward::JournalBatch> batches;
    for (int i = 0; i < kBatches; ++i) {
        tool::forward::JournalBatch b;
        b.seq = i + 1;
        b.kind = tool::forward::JournalBatch::Kind::Archive;
        b.meter = "hall-3";
        b.serial = 310001;
        b.archive.series = "e_hour";
        b.archive.module = 1;
        b.archive.first = static_cast<std::uint32_t>(24 * i);
        for (int h = 0; h < 24; ++h) b.archive.values.push_back(1000000 + 24 * i + h);
        batches.push_back(std::move(b));
    }
    return batches;
}

void BM_MqttSinkVsMosquittoPub(benchmark::State& state) {
    if (!test::MosquittoServer::Available() || ::access("/usr/bin/mosquitto_pub", X_OK) != 0) {
        state.SkipWithError("mosquitto or mosquitto_pub missing");
        return;
    }
    test::MosquittoServer server;
    if (!server.Start()) {
        state.SkipWithError("the broker did not start");
        return;
    }
    tool::forward::MqttSinkSettings settings;
    settings.host = "127.0.0.1";
    settings.port = server.Port();
    const std::vector<tool::forward::JournalBatch> batches = HourlyBatches();

    // The same messages as lines, for mosquitto_pub.
    const std::string lines = server.Dir() + "/messages.txt";
    std::string topic;
    {
        tool::forward::MqttSink sink(settings, "gw-north");
        sink.SetGeneration("0123456789abcdef");
        std::ofstream out(lines);
        for (const auto& b : batches)
            for (const auto& m : sink.Messages(b)) {
                out << m.payload << "\n";
                topic = m.topic;
            }
    }
    const std::string pub = "/usr/bin/mosquitto_pub -h 127.0.0.1 -p " + std::to_string(server.Port()) + " -t " + topic +
                            " -q 1 -i q31-bench-pub -l < " + lines;

    using Clock = std::chrono::steady_clock;
    Clock::duration sinkTime{}, pubTime{};
    int runs = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        {
            tool::forward::MqttSink sink(settings, "gw-north");
            sink.Connect({"0123456789abcdef", 0, 0});
            sink.Ship(batches);
            sink.Disconnect();
        }
        const auto t1 = Clock::now();
        if (!test::RunProgram("/bin/sh", {"-c", pub}, server.Dir())) {
            state.SkipWithError("mosquitto_pub failed");
            return;
        }
        const auto t2 = Clock::now();
        sinkTime += t1 - t0;
        pubTime += t2 - t1;
        ++runs;
    }
    const double sinkRate = runs * kBatches / std::chrono::duration<double>(sinkTime).count();
    const double pubRate = runs * kBatches / std::chrono::duration<double>(pubTime).count();
    state.counters["sink_msg_per_s"] = sinkRate;
    state.counters["pub_msg_per_s"] = pubRate;
    state.counters["sink_vs_pub"] = sinkRate / pubRate;
}
BENCHMARK(BM_MqttSinkVsMosquittoPub)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace q31::bench
