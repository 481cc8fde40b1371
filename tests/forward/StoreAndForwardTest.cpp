// The collector with both sinks against real servers, while it is killed at
// random moments and the servers go away and come back: afterwards the rows
// in PostgreSQL are the rows in SQLite, key for key, and every record came
// in an MQTT message at least once.
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/FreePort.h"
#include "tests/forward/JournalFixture.h"
#include "tests/forward/MosquittoServer.h"
#include "tests/forward/MosquittoSubscriber.h"
#include "tests/forward/PostgresServer.h"
#include "tests/forward/ServerRules.h"

namespace q31::test {
namespace {

using namespace std::chrono_literals;

// q31 collect as a child; killed or stopped by the test.
struct Collector {
    pid_t pid = -1;
    Collector(const std::string& config, const std::string& db, const std::string& dir, bool once) {
        pid = fork();
        if (pid == 0) {
            const std::string log = dir + "/collect.log";
            std::freopen(log.c_str(), "a", stderr);
            std::freopen("/dev/null", "w", stdout);
            if (once)
                execl(Q31_TOOL_PROGRAM, Q31_TOOL_PROGRAM, "collect", "--config", config.c_str(), "--db", db.c_str(),
                      "--once", static_cast<char*>(nullptr));
            else
                execl(Q31_TOOL_PROGRAM, Q31_TOOL_PROGRAM, "collect", "--config", config.c_str(), "--db", db.c_str(),
                      static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    int End(int signal) {
        if (signal) kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        return status;
    }
};

std::vector<std::string> SqliteRows(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_busy_timeout(h, 5000);
    sqlite3_stmt* s = nullptr;
    std::vector<std::string> rows;
    sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(s); ++c) {
            const auto* t = sqlite3_column_text(s, c);
            if (c) row += '|';
            row += t ? reinterpret_cast<const char*>(t) : "NULL";
        }
        rows.push_back(row);
    }
    sqlite3_finalize(s);
    sqlite3_close(h);
    return rows;
}

// Per series: how many records, the first, the last and a sum of the values
// (taken modulo a prime: the 64-bit values would overflow a plain sum).
const char* const kSeriesSummary =
    "SELECT meter, serial, epoch, module, series, count(*), min(record), max(record), sum(value % 1000000007) "
    "FROM archive_values GROUP BY 1, 2, 3, 4, 5 ORDER BY 1, 2, 3, 4, 5";

TEST(StoreAndForward, KillsAndServersThatComeAndGoLoseNothingAndKeepNothingTwice) {
    Q31_NEED_SERVER(PostgresServer::Available(), "PostgreSQL");
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    const std::string dir = MakeScratchDir("q31-store-forward");
    PostgresServer pg;
    pg.CreateDatabase("fleet");
    MosquittoServer broker;
    ASSERT_TRUE(broker.Start()) << broker.Log();
    MosquittoSubscriber subscriber(broker.Port(), "q31/#", {}, "q31-test-subscriber");
    ASSERT_TRUE(subscriber.Subscribed());

    const std::string db = dir + "/q31.sqlite";
    const std::string config = dir + "/fleet.toml";
    // Meters whose clocks run an hour a second: they write records all along.
    // Energy in GJ, but meter b's in Gcal at the same scale; temperatures in
    // °C; the rest raw.
    std::ofstream(config) << "[collect]\ngateway = \"gw-test\"\nretry_base_ms = 100\nretry_max_ms = 400\n"
                          << "[sink.postgres]\nurl = \"" << pg.Url("fleet") << "\"\nbatch_rows = 300\n"
                          << "[sink.mqtt]\nport = " << broker.Port() << "\n"
                          << R"(
[quantity.e]
unit = "GJ"
scale = 0.001
[quantity.t]
unit = "°C"
scale = 0.01
name = "Flow temperature"
[defaults]
timeout_ms = 200
current_every_min = 1
archive_every_min = 0.02
[[meter]]
name = "a"
port = "sim:31"
serial = 31
  [meter.sim]
  modules = 1
  hour_count = 60
  day_count = 8
  clock_rate = 3600
[[meter]]
name = "b"
port = "sim:31"
serial = 32
address = 202
  [meter.quantity.e]
  unit = "Gcal"
  [meter.sim]
  modules = 1
  hour_count = 30
  day_count = 4
)";
    namespace fs = std::filesystem;
    fs::permissions(config,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    std::mt19937 random(20261208);
    // Killed at random moments while it reads and ships.
    for (int i = 0; i < 4; ++i) {
        Collector c(config, db, dir, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(400 + random() % 2000));
        c.End(SIGKILL);
    }
    // Both servers away for a while as collection goes on, then back.
    {
        Collector c(config, db, dir, false);
        std::this_thread::sleep_for(1500ms);
        pg.Stop();
        broker.Stop();
        const long long before = SqliteCount(db, "SELECT count(*) FROM journal");
        std::this_thread::sleep_for(4s);
        EXPECT_GT(SqliteCount(db, "SELECT count(*) FROM journal"), before) << "collection stopped with the sinks";
        pg.Start();
        ASSERT_TRUE(broker.Start()) << broker.Log();
        std::this_thread::sleep_for(2s);
        EXPECT_EQ(WEXITSTATUS(c.End(SIGTERM)), 143);
    }
    // A last pass from cron, which waits for the sinks to take everything.
    ASSERT_EQ(Collector(config, db, dir, true).End(0), 0);

    // Every user may read the configuration (a test's file is made so), as
    // the service's own user must: without a password in it, no warning.
    std::ifstream logFile(dir + "/collect.log");
    const std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
    EXPECT_EQ(log.find("every user may read it"), std::string::npos);

    const long long journal = SqliteCount(db, "SELECT max(seq) FROM journal");
    EXPECT_EQ(SqliteCount(db, "SELECT seq FROM sink_positions WHERE sink='mqtt'"), journal);
    EXPECT_EQ(pg.Rows("fleet", "SELECT seq FROM q31_forward WHERE gateway='gw-test' AND sink='postgres'"),
              std::vector<std::string>{std::to_string(journal)});

    // PostgreSQL: the same records with the same values, key for key.
    const std::vector<std::string> sqliteSeries = SqliteRows(db, kSeriesSummary);
    ASSERT_GE(sqliteSeries.size(), 12u);
    EXPECT_EQ(
        pg.Rows(
            "fleet",
            "SELECT meter, serial, epoch, module, series, count(*), min(record), max(record), sum(value % 1000000007) "
            "FROM archive_values WHERE gateway='gw-test' GROUP BY 1, 2, 3, 4, 5 ORDER BY 1, 2, 3, 4, 5"),
        sqliteSeries);
    // What each value means and when its record closed, alike on both.
    EXPECT_EQ(SqliteRows(db, "SELECT * FROM quantities ORDER BY meter, series"),
              (std::vector<std::string>{"a|e|GJ|0.001|Energy", "a|t|°C|0.01|Flow temperature", "b|e|Gcal|0.001|Energy",
                                        "b|t|°C|0.01|Flow temperature"}));
    const std::string meaning =
        "SELECT meter, substr(series, 1, instr(series, '_') - 1), coalesce(unit, 'raw'), count(*), count(closed_at), "
        "sum(closed_at_estimated), sum(closed_at), count(*) FILTER (WHERE abs(quantity - value * CASE WHEN series "
        "LIKE 't%' THEN 0.01 ELSE 0.001 END) > 1e-9 * abs(quantity)) FROM archive_values GROUP BY 1, 2, 3 "
        "ORDER BY 1, 2, 3";
    const std::vector<std::string> sqliteMeaning = SqliteRows(db, meaning);
    ASSERT_EQ(sqliteMeaning.size(), 12u);
    for (const std::string& row : sqliteMeaning) {
        const std::string kind = row.substr(0, row.find('|', 2));
        const std::string unit = row.substr(kind.size() + 1, row.find('|', kind.size() + 1) - kind.size() - 1);
        const std::map<std::string, std::string> units = {{"a|e", "GJ"}, {"b|e", "Gcal"}, {"a|t", "°C"}, {"b|t", "°C"}};
        EXPECT_EQ(unit, units.count(kind) ? units.at(kind) : "raw") << row;
        EXPECT_EQ(row.substr(row.rfind('|')), "|0") << row << ": quantities not raw × scale";
    }
    std::string pgMeaning = meaning;
    pgMeaning.replace(pgMeaning.find("instr(series, '_')"), 18, "strpos(series, '_')");
    pgMeaning.replace(pgMeaning.find("sum(closed_at_estimated)"), 24, "sum(closed_at_estimated::int)");
    pgMeaning.replace(pgMeaning.find("sum(closed_at)"), 14, "sum(extract(epoch FROM closed_at)::bigint)");
    EXPECT_EQ(pg.Rows("fleet", pgMeaning), sqliteMeaning);
    EXPECT_EQ(SqliteCount(db, "SELECT count(*) FROM archive_values WHERE closed_at IS NULL"), 0);

    for (const char* table : {"snapshots", "attempts", "log_records", "gaps"})
        EXPECT_EQ(
            pg.Rows("fleet", std::string("SELECT count(*) FROM ") + table),
            std::vector<std::string>{std::to_string(SqliteCount(db, std::string("SELECT count(*) FROM ") + table))})
            << table;

    // MQTT: every stored record was in a message that arrived.
    std::map<std::string, std::set<long long>> covered;  // meter/serial/epoch/module/series -> records
    std::map<std::string, long long> unitsSeen;
    std::this_thread::sleep_for(1s);
    for (const ReceivedMessage& m : subscriber.WaitFor(1000000)) {
        if (m.topic.find("/archive") == std::string::npos) continue;
        const auto j = nlohmann::json::parse(m.payload);
        if (j["records"].is_null()) continue;
        const std::string key = j["meter"].get<std::string>() + "|" + std::to_string(j["serial"].get<long long>()) +
                                "|" + std::to_string(j["epoch"].get<long long>()) + "|" +
                                std::to_string(j["module"].get<int>()) + "|" + j["series"].get<std::string>();
        for (long long r = j["records"]["first"]; r <= j["records"]["last"]; ++r) covered[key].insert(r);
        // Each reading as the meter's quantity has it, or raw and marked so.
        const std::string kind = j["meter"].get<std::string>() + "|" + j["series"].get<std::string>().substr(0, 2);
        for (const auto& r : j["readings"]) {
            if (kind == "a|e_") ++unitsSeen["GJ"];
            if (kind == "b|e_") ++unitsSeen["Gcal"];
            const std::string unit = r["unit"].is_null() ? "raw" : r["unit"].get<std::string>();
            if (unit == "raw" && r["is_raw"] == true && r["value"] == r["raw"]) ++unitsSeen["raw"];
            if (r["closed_at"].get<std::string>().size() == 20) ++unitsSeen[unit + " at"];
        }
    }
    EXPECT_GT(unitsSeen["GJ"], 0);
    EXPECT_EQ(unitsSeen["GJ"], unitsSeen["GJ at"]);
    EXPECT_EQ(unitsSeen["Gcal"], unitsSeen["Gcal at"]);
    EXPECT_EQ(unitsSeen["raw"], unitsSeen["raw at"]);
    long long missing = 0;
    for (const std::string& row :
         SqliteRows(db,
                    "SELECT meter || '|' || serial || '|' || epoch || '|' || module || '|' || series, record "
                    "FROM archive_values"))
        if (!covered[row.substr(0, row.rfind('|'))].count(std::stoll(row.substr(row.rfind('|') + 1)))) ++missing;
    EXPECT_EQ(missing, 0);
}

std::string ReadLog(const std::string& dir) {
    std::ifstream in(dir + "/collect.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Two meters on one line, shipped to PostgreSQL as gateway gw-test.
std::string WriteConfig(const std::string& dir, const std::string& url, int clockRate) {
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << "[collect]\ngateway = \"gw-test\"\n[sink.postgres]\nurl = \"" << url << "\"\n"
                          << "[defaults]\ntimeout_ms = 200\ncurrent_every_min = 1\narchive_every_min = 0.02\n"
                          << "[[meter]]\nname = \"a\"\nport = \"sim:41\"\nserial = 41\n  [meter.sim]\n  modules = 1\n"
                          << "  hour_count = 50\n  day_count = 6\n  clock_rate = " << clockRate << "\n"
                          << "[[meter]]\nname = \"b\"\nport = \"sim:41\"\nserial = 42\naddress = 202\n"
                          << "  [meter.sim]\n  modules = 1\n  hour_count = 20\n  day_count = 3\n";
    return config;
}

TEST(StoreAndForward, ADatabaseMadeAnewIsShippedWholeBesideTheOldAndSaidOnce) {
    Q31_NEED_SERVER(PostgresServer::Available(), "PostgreSQL");
    const std::string dir = MakeScratchDir("q31-recreated");
    PostgresServer pg;
    pg.CreateDatabase("fleet");
    const std::string db = dir + "/q31.sqlite";
    const std::string config = WriteConfig(dir, pg.Url("fleet"), 1);
    ASSERT_EQ(Collector(config, db, dir, true).End(0), 0);
    const long long oldSeq = SqliteCount(db, "SELECT max(seq) FROM journal");
    const std::string oldGeneration = SqliteRows(db, "SELECT generation FROM journal_generation").at(0);
    namespace fs = std::filesystem;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db + suffix);
    // The gateway's database made anew: its journal counts from 1 again.
    ASSERT_EQ(Collector(config, db, dir, true).End(0), 0);
    const std::string generation = SqliteRows(db, "SELECT generation FROM journal_generation").at(0);
    ASSERT_NE(generation, oldGeneration);
    const long long seq = SqliteCount(db, "SELECT max(seq) FROM journal");
    ASSERT_LT(seq, oldSeq * 2);

    // Everything of the new file arrived, key for key, under its generation.
    const std::string mine = " WHERE gateway = 'gw-test' AND generation = '" + generation + "'";
    EXPECT_EQ(pg.Rows("fleet",
                      "SELECT meter, serial, epoch, module, series, count(*), min(record), max(record), "
                      "sum(value % 1000000007) FROM archive_values" +
                          mine + " GROUP BY 1, 2, 3, 4, 5 ORDER BY 1, 2, 3, 4, 5"),
              SqliteRows(db, kSeriesSummary));
    EXPECT_EQ(pg.Rows("fleet", "SELECT id, meter, started_at, outcome FROM attempts" + mine + " ORDER BY id"),
              SqliteRows(db, "SELECT id, meter, started_at, outcome FROM attempts ORDER BY id"));
    for (const char* table : {"snapshots", "log_records", "gaps", "meter_events"})
        EXPECT_EQ(
            pg.Rows("fleet", std::string("SELECT count(*) FROM ") + table + mine),
            std::vector<std::string>{std::to_string(SqliteCount(db, std::string("SELECT count(*) FROM ") + table))})
            << table;
    // Snapshots carry the serial number that answered.
    EXPECT_EQ(pg.Rows("fleet", "SELECT meter, serial FROM snapshots" + mine + " GROUP BY 1, 2 ORDER BY 1"),
              (std::vector<std::string>{"a|41", "b|42"}));
    // The old file's rows stay, under its own generation.
    EXPECT_EQ(pg.Rows("fleet", "SELECT generation, seq FROM q31_forward WHERE gateway = 'gw-test' ORDER BY seq DESC"),
              (std::vector<std::string>{oldGeneration + "|" + std::to_string(oldSeq),
                                        generation + "|" + std::to_string(seq)}));
    std::fprintf(stderr,
                 "database made anew: %lld archive values, %lld attempts compared (old journal %lld, new %lld)\n",
                 SqliteCount(db, "SELECT count(*) FROM archive_values"),
                 SqliteCount(db, "SELECT count(*) FROM attempts"), oldSeq, seq);
    const std::string log = ReadLog(dir);
    EXPECT_EQ(Occurrences(log, "this gateway's database is new: generation " + generation +
                                   ", where the sink had generation " + oldGeneration),
              1u)
        << log;
}

// Waits until `done`, for `seconds` at most; false when it never was.
bool WaitUntil(const std::function<bool()>& done, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(StoreAndForward, ALockedCentralTableHoldsNeitherAReloadNorAStop) {
    Q31_NEED_SERVER(PostgresServer::Available(), "PostgreSQL");
    const std::string dir = MakeScratchDir("q31-locked");
    PostgresServer pg;
    pg.CreateDatabase("fleet");
    const std::string db = dir + "/q31.sqlite";
    // Meters whose clocks run an hour a second: there is always more to ship.
    const std::string config = WriteConfig(dir, pg.Url("fleet"), 3600);
    Collector c(config, db, dir, false);
    // Shipping (the sink has made its tables by then).
    ASSERT_TRUE(WaitUntil(
        [&] {
            return pg.Rows("fleet", "SELECT count(*) FROM pg_tables WHERE tablename = 'q31_forward'") ==
                       std::vector<std::string>{"1"} &&
                   pg.Rows("fleet", "SELECT count(*) FROM q31_forward WHERE seq > 0") == std::vector<std::string>{"1"};
        },
        30));
    std::unique_ptr<PGconn, void (*)(PGconn*)> holder(PQconnectdb(pg.Url("fleet").c_str()), PQfinish);
    PQclear(PQexec(holder.get(), "BEGIN; LOCK TABLE archive_values IN ACCESS EXCLUSIVE MODE"));
    const auto shipmentWaits = [&] {
        return pg.Rows("fleet",
                       "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'q31 collect gw-test' AND "
                       "wait_event_type = 'Lock'") == std::vector<std::string>{"1"};
    };
    ASSERT_TRUE(WaitUntil(shipmentWaits, 30));
    auto start = std::chrono::steady_clock::now();
    kill(c.pid, SIGHUP);
    const bool reloaded =
        WaitUntil([&] { return ReadLog(dir).find("configuration reloaded") != std::string::npos; }, 30);
    const auto reloadMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(reloaded);
    EXPECT_LT(reloadMs, 5000);
    ASSERT_TRUE(WaitUntil(shipmentWaits, 30));
    start = std::chrono::steady_clock::now();
    kill(c.pid, SIGTERM);
    int status = 0;
    const bool ended = WaitUntil([&] { return waitpid(c.pid, &status, WNOHANG) == c.pid; }, 30);
    const auto stopMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    PQclear(PQexec(holder.get(), "COMMIT"));
    if (!ended) waitpid(c.pid, &status, 0);
    EXPECT_TRUE(ended);
    EXPECT_LT(stopMs, 5000);
    EXPECT_TRUE(WIFEXITED(status));
    std::fprintf(stderr, "under a lock: reloaded in %lld ms, stopped in %lld ms\n", static_cast<long long>(reloadMs),
                 static_cast<long long>(stopMs));
}

TEST(StoreAndForward, OnceWithASinkNeverReachedHasItsOwnExitStatus) {
    const std::string dir = MakeScratchDir("q31-unreached");
    // Nothing listens there.
    const std::string url = "postgresql://postgres@127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/fleet";
    const int status = Collector(WriteConfig(dir, url, 1), dir + "/q31.sqlite", dir, true).End(0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_NE(ReadLog(dir).find("sink postgres: not reached, or refused what was shipped"), std::string::npos)
        << ReadLog(dir);
}

}  // namespace
}  // namespace q31::test
