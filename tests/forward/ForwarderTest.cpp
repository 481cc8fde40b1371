// The forwarder against a sink in memory: what it ships is what the
// collector stored, key for key, however often the sink fails on the way.
#include "tools/q31/forward/Forwarder.h"

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "tests/forward/JournalFixture.h"
#include "tools/q31/forward/JournalReader.h"
#include "tools/q31/forward/MqttSink.h"
#include "tools/q31/status/StatusServer.h"

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
    SinkConnection Connect(const JournalOrigin&) override {
        ++connects;
        return {kept, {}, 0, {}};
    }
    std::vector<Rejection> Ship(const std::vector<JournalBatch>& batches) override {
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
        return {};
    }
    void Disconnect() override {}
};

std::string MakeDatabase() { return test::MakeJournal(); }

long long Count(const std::string& db, const char* sql) { return test::SqliteCount(db, sql); }

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

// A sink that takes whatever it is sent, and sets aside what `refuse` names.
struct PickySink : Sink {
    std::function<bool(const JournalBatch&)> refuse;
    std::int64_t kept = 0;
    std::string Name() const override { return "picky"; }
    SinkConnection Connect(const JournalOrigin&) override { return {kept, {}, 0, {}}; }
    std::vector<Rejection> Ship(const std::vector<JournalBatch>& batches) override {
        std::vector<Rejection> out;
        for (const JournalBatch& b : batches)
            if (refuse(b)) out.push_back({b.seq, "picky: refused a " + std::string(KindName(b.kind))});
        kept = batches.back().seq;
        return out;
    }
    void Disconnect() override {}
};

TEST(Forwarder, WhatTheSinkRefusesIsSetAsideCountedAndToldOnce) {
    const std::string db = MakeDatabase();
    ASSERT_FALSE(db.empty());
    auto owned = std::make_unique<PickySink>();
    owned->refuse = [](const JournalBatch& b) { return b.kind == JournalBatch::Kind::Attempt; };
    ForwarderOptions options;
    options.db = db;
    options.groupRows = 50;
    std::vector<std::string> told;
    std::mutex toldMutex;
    options.log = [&](const std::string& text, bool) {
        std::lock_guard<std::mutex> lock(toldMutex);
        told.push_back(text);
    };
    const std::int64_t newest = JournalReader(db).NewestSeq();
    Forwarder forwarder(std::move(owned), options);
    forwarder.Start();
    ASSERT_TRUE(forwarder.WaitFor(newest, 20000));
    const ForwardStatus st = forwarder.Status();
    forwarder.Stop();
    EXPECT_EQ(st.rejected, Count(db, "SELECT count(*) FROM attempts"));
    EXPECT_EQ(st.failures, 0);
    std::size_t refusals = 0;
    for (const std::string& t : told) refusals += t.find("picky: refused a attempt: set aside") != std::string::npos;
    EXPECT_EQ(refusals, 1u);
}

// Ships nothing until it is aborted: a server that holds the shipment.
struct StuckSink : Sink {
    std::mutex mutex;
    std::condition_variable changed;
    bool shipping = false;
    bool aborted = false;
    std::string Name() const override { return "stuck"; }
    SinkConnection Connect(const JournalOrigin&) override { return {}; }
    std::vector<Rejection> Ship(const std::vector<JournalBatch>&) override {
        std::unique_lock<std::mutex> lock(mutex);
        shipping = true;
        changed.notify_all();
        changed.wait(lock, [&] { return aborted; });
        throw SinkError("stuck: aborted");
    }
    void Disconnect() override {}
    void Abort() override {
        std::lock_guard<std::mutex> lock(mutex);
        aborted = true;
        changed.notify_all();
    }
};

TEST(Forwarder, StopsWithinItsGraceWhateverTheSinkWaitsFor) {
    const std::string db = MakeDatabase();
    ASSERT_FALSE(db.empty());
    auto owned = std::make_unique<StuckSink>();
    StuckSink& sink = *owned;
    ForwarderOptions options;
    options.db = db;
    options.stopGraceMs = 500;
    Forwarder forwarder(std::move(owned), options);
    forwarder.Start();
    {
        std::unique_lock<std::mutex> lock(sink.mutex);
        ASSERT_TRUE(sink.changed.wait_for(lock, std::chrono::seconds(20), [&] { return sink.shipping; }));
    }
    const auto start = std::chrono::steady_clock::now();
    forwarder.Stop();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_TRUE(sink.aborted);
    EXPECT_LT(took.count(), 1500) << "Stop took " << took.count() << " ms";
}

// A sink that is never there.
struct AwaySink : Sink {
    std::string Name() const override { return "away"; }
    SinkConnection Connect(const JournalOrigin&) override { throw SinkError("away: Connection refused"); }
    std::vector<Rejection> Ship(const std::vector<JournalBatch>&) override { return {}; }
    void Disconnect() override {}
};

TEST(Forwarder, CountsTheBacklogFromTheJournalWhileTheSinkIsDown) {
    const std::string db = MakeDatabase();
    ASSERT_FALSE(db.empty());
    ForwarderOptions options;
    options.db = db;
    options.retryBaseMs = 200;
    options.retryMaxMs = 60000;  // long pauses: the backlog must move all the same
    Forwarder forwarder(std::make_unique<AwaySink>(), options);
    forwarder.Start();
    forward::HttpSettings http;
    http.listen = "127.0.0.1:0";
    StatusServer status(http, db, "gw", [&] { return std::vector<ForwardStatus>{forwarder.Status()}; });
    auto backlog = [&] {
        const std::string metrics = status.Metrics();
        const std::string name = "q31_sink_backlog_rows{gateway=\"gw\",sink=\"away\"} ";
        const auto at = metrics.find(name);
        return at == std::string::npos ? -1 : std::stoll(metrics.substr(at + name.size()));
    };
    const long long first = Count(db, "SELECT max(seq) FROM journal");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (backlog() != first && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(backlog(), first);
    // Another pass while the sink is still away, in the middle of a long
    // pause (the fourth failure waits 1.6 s).
    const auto failed = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (forwarder.Status().failures < 4 && std::chrono::steady_clock::now() < failed)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(forwarder.Status().failures, 4);
    ASSERT_EQ(test::MakeJournal(db.substr(0, db.rfind('/'))), db);
    const long long second = Count(db, "SELECT max(seq) FROM journal");
    ASSERT_GT(second, first);
    const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (backlog() != second && std::chrono::steady_clock::now() < later)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(backlog(), second);
    const ForwardStatus st = forwarder.Status();
    EXPECT_FALSE(st.connected);
    EXPECT_TRUE(st.failing);
    EXPECT_FALSE(st.reached);
    EXPECT_GE(st.backlogSeconds, 1);
    forwarder.Stop();
}

// Every message the journal gives, by id, read twice as after a failure:
// the same ids name the same bytes, and no two contents share an id.
TEST(Forwarder, MessageIdsNameTheSameContentOnEveryRead) {
    const std::string db = MakeDatabase();
    ASSERT_FALSE(db.empty());
    auto read = [&] {
        JournalReader journal(db);
        forward::MqttSinkSettings settings;
        MqttSink sink(settings, "gw");
        sink.SetGeneration(journal.Generation());
        std::map<std::string, std::string> byId;
        std::size_t messages = 0;
        for (const JournalBatch& b : journal.Read(0, 1000000))
            for (const MqttMessage& m : sink.Messages(b)) {
                if (m.retain) continue;  // the meter's state, which has no id
                const std::string id = nlohmann::json::parse(m.payload)["id"];
                ++messages;
                const auto [it, added] = byId.emplace(id, m.payload);
                EXPECT_TRUE(added || it->second == m.payload) << id;
            }
        return std::make_pair(byId, messages);
    };
    const auto [first, messages] = read();
    const auto [second, again] = read();
    EXPECT_GT(messages, 50u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.size(), messages);
}

}  // namespace
}  // namespace q31::tool::forward
