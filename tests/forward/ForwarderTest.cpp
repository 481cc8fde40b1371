// The forwarder against a sink in memory: what it ships is what the
// collector stored, key for key, however often the sink fails on the way.
#include "tools/q31/forward/Forwarder.h"

#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "tools/q31/forward/JournalReader.h"

namespace q31::tool::forward {
namespace {

// Keeps what it is sent by key, as a server with ON CONFLICT DO NOTHING
// would; fails the shipments it is told to.
struct MemorySink : Sink {
    std::map<std::string, std::int64_t> archive;  // meter/serial/epoch/module/series/record -> value
    std::set<std::string> others;                 // snapshot, log, attempt, event keys
    std::int64_t kept = 0;                        // the position a server would keep
    int shipments = 0;
    std::set<int> failAt;  // shipment numbers that fail after the first half arrived
    int connects = 0;

    std::string Name() const override { return "memory"; }
    std::int64_t Connect(std::int64_t) override {
        ++connects;
        return kept;
    }
    void Ship(const std::vector<JournalBatch>& batches) override {
        const bool fail = failAt.count(++shipments) > 0;
        const std::size_t arrive = fail ? batches.size() / 2 : batches.size();
        for (std::size_t i = 0; i < arrive; ++i) {
            const JournalBatch& b = batches[i];
            const std::string unit = b.meter + "/" + std::to_string(b.serial) + "/" + std::to_string(b.epoch);
            switch (b.kind) {
                case JournalBatch::Kind::Archive:
                    for (std::size_t v = 0; v < b.archive.values.size(); ++v)
                        archive[unit + "/" + std::to_string(b.archive.module) + "/" + b.archive.series + "/" +
                                std::to_string(b.archive.first + v)] = b.archive.values[v];
                    break;
                case JournalBatch::Kind::Snapshot:
                    others.insert("snapshot/" + b.meter + "/" + b.snapshot.kind + "/" +
                                  std::to_string(b.snapshot.takenAt));
                    break;
                case JournalBatch::Kind::Log:
                    for (const LogRow& r : b.log.records)
                        others.insert("log/" + unit + "/" + b.log.log + "/" + std::to_string(b.log.module) + "/" +
                                      std::to_string(r.block) + "/" + std::to_string(r.position));
                    break;
                case JournalBatch::Kind::Attempt: others.insert("attempt/" + std::to_string(b.attempt.id)); break;
                case JournalBatch::Kind::Event: others.insert("event/" + std::to_string(b.event.id)); break;
            }
        }
        if (fail) throw std::runtime_error("connection lost");
        kept = batches.back().seq;  // with the rows, as one transaction would
    }
    void Disconnect() override {}
};

std::string MakeDatabase() {
    char dir[] = "/tmp/q31-forward-XXXXXX";
    if (!mkdtemp(dir)) return {};
    const std::string config = std::string(dir) + "/fleet.toml";
    std::ofstream(config) << R"(
[collect]
retries = 0
[defaults]
timeout_ms = 100
[[meter]]
name = "a"
port = "sim:21"
serial = 21
  [meter.sim]
  modules = 2
  hour_count = 70
  day_count = 12
[[meter]]
name = "b"
port = "sim:21"
serial = 22
address = 202
  [meter.sim]
  modules = 1
  hour_count = 30
  day_count = 3
)";
    const std::string db = std::string(dir) + "/q31.sqlite";
    const std::string command =
        std::string(Q31_TOOL_PROGRAM) + " collect --once --quiet --config " + config + " --db " + db;
    return std::system(command.c_str()) == 0 ? db : std::string{};
}

long long Count(const std::string& db, const char* sql) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h, sql, -1, &s, nullptr);
    long long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(h);
    return n;
}

TEST(Forwarder, ShipsEveryStoredRowOnceInOrderThroughFailuresAndRestarts) {
    const std::string db = MakeDatabase();
    ASSERT_FALSE(db.empty());
    // Two meters: (70 + 12) and (30 + 3) records, the time once and five series per module.
    const long long values = (70 + 12) * (1 + 5 * 2) + (30 + 3) * (1 + 5 * 1);
    ASSERT_EQ(Count(db, "SELECT count(*) FROM archive_values"), values);

    auto owned = std::make_unique<MemorySink>();
    MemorySink& sink = *owned;
    sink.failAt = {2, 3, 5};
    ForwarderOptions options;
    options.db = db;
    options.groupRows = 100;  // many small shipments
    options.retryBaseMs = 1;
    options.retryMaxMs = 5;
    const std::int64_t newest = JournalReader(db).NewestSeq();
    {
        Forwarder forwarder(std::move(owned), options);
        forwarder.Start();
        ASSERT_TRUE(forwarder.WaitFor(newest, 20000));
        const ForwardStatus st = forwarder.Status();
        EXPECT_EQ(st.failures, 3);
        EXPECT_EQ(st.lastError, "connection lost");
        EXPECT_EQ(sink.connects, 4);
        forwarder.Stop();
        EXPECT_EQ(sink.archive.size(), static_cast<std::size_t>(values));
        EXPECT_EQ(static_cast<long long>(sink.others.size()),
                  Count(db,
                        "SELECT (SELECT count(*) FROM snapshots) + (SELECT count(*) FROM log_records) + "
                        "(SELECT count(*) FROM attempts) + (SELECT count(*) FROM meter_events)"));
        EXPECT_EQ(Count(db, "SELECT seq FROM sink_positions WHERE sink='memory'"), newest);
        // A value checked against the store.
        EXPECT_EQ(sink.archive.at("a/21/0/1/t_hour/69"),
                  Count(db,
                        "SELECT value FROM archive_values WHERE meter='a' AND module=1 AND series='t_hour' AND "
                        "record=69"));
    }
}

}  // namespace
}  // namespace q31::tool::forward
