// The collector with both sinks against real servers, while it is killed at
// random moments and the servers go away and come back: afterwards the rows
// in PostgreSQL are the rows in SQLite, key for key, and every record came
// in an MQTT message at least once.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

long long SqliteNumber(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_busy_timeout(h, 5000);
    sqlite3_stmt* s = nullptr;
    long long n = -1;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(h);
    return n;
}

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
    std::ofstream(config) << "[collect]\ngateway = \"gw-test\"\nretry_base_ms = 100\nretry_max_ms = 400\n"
                          << "[sink.postgres]\nurl = \"" << pg.Url("fleet") << "\"\nbatch_rows = 300\n"
                          << "[sink.mqtt]\nport = " << broker.Port() << "\n"
                          << R"(
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
        const long long before = SqliteNumber(db, "SELECT count(*) FROM journal");
        std::this_thread::sleep_for(4s);
        EXPECT_GT(SqliteNumber(db, "SELECT count(*) FROM journal"), before) << "collection stopped with the sinks";
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

    const long long journal = SqliteNumber(db, "SELECT max(seq) FROM journal");
    EXPECT_EQ(SqliteNumber(db, "SELECT seq FROM sink_positions WHERE sink='mqtt'"), journal);
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
    for (const char* table : {"snapshots", "attempts", "log_records", "gaps"})
        EXPECT_EQ(
            pg.Rows("fleet", std::string("SELECT count(*) FROM ") + table),
            std::vector<std::string>{std::to_string(SqliteNumber(db, std::string("SELECT count(*) FROM ") + table))})
            << table;

    // MQTT: every stored record was in a message that arrived.
    std::map<std::string, std::set<long long>> covered;  // meter/serial/epoch/module/series -> records
    std::this_thread::sleep_for(1s);
    for (const ReceivedMessage& m : subscriber.WaitFor(1000000)) {
        if (m.topic.find("/archive") == std::string::npos) continue;
        const auto j = nlohmann::json::parse(m.payload);
        if (j["records"].is_null()) continue;
        const std::string key = j["meter"].get<std::string>() + "|" + std::to_string(j["serial"].get<long long>()) +
                                "|" + std::to_string(j["epoch"].get<long long>()) + "|" +
                                std::to_string(j["module"].get<int>()) + "|" + j["series"].get<std::string>();
        for (long long r = j["records"]["first"]; r <= j["records"]["last"]; ++r) covered[key].insert(r);
    }
    long long missing = 0;
    for (const std::string& row :
         SqliteRows(db,
                    "SELECT meter || '|' || serial || '|' || epoch || '|' || module || '|' || series, record "
                    "FROM archive_values"))
        if (!covered[row.substr(0, row.rfind('|'))].count(std::stoll(row.substr(row.rfind('|') + 1)))) ++missing;
    EXPECT_EQ(missing, 0);
}

}  // namespace
}  // namespace q31::test
