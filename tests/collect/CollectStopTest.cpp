// How a run ends, or does not: a signal's exit status, a full disk that a
// watching collector waits out, and log lines that stay lines whatever the
// configuration carries.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

using std::chrono::milliseconds;

template <typename F>
bool Eventually(F done, milliseconds limit) {
    for (const auto end = std::chrono::steady_clock::now() + limit;; std::this_thread::sleep_for(milliseconds(20))) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
    }
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A virtual meter whose clock runs an hour a second: every pass has new records to store.
const char* const kRunningMeter = R"([collect]
retry_base_ms = 100
retry_max_ms = 400

[[meter]]
name = "a"
port = "sim:1"
serial = 1
logs = false
current_every_min = 0
archive_every_min = 0.01
series = ["time", "t"]
  [meter.sim]
  hour_count = 400
  day_count = 20
  clock_rate = 3600
)";

TEST(CollectStop, ASignalEndsTheRunWithItsOwnStatus) {
    const std::string dir = MakeTempDir("q31-collect-sigint");
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << kRunningMeter << "  reply_delay_ms = 30\n";
    CollectChild once({"collect", "--config", config, "--once", "--jsonl", "--db", dir + "/q31.sqlite"}, dir);
    ASSERT_TRUE(once.WaitForOutput("\"kind\":\"archive\"", std::chrono::seconds(30))) << once.Err();
    ASSERT_TRUE(once.Signal(SIGINT));
    ASSERT_TRUE(once.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(once.ExitStatus(), 130) << once.Err();
    EXPECT_EQ(Count(once.Err(), "collect (interrupted)"), 1) << once.Err();
    EXPECT_EQ(Count(once.Err(), "q31:"), 0) << once.Err();
}

TEST(CollectStop, ALogLineStaysOneLineAndARunFromCronPromisesNoBackOff) {
    const std::string dir = MakeTempDir("q31-collect-lines");
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << "[collect]\nretries = 0\n[[meter]]\nname = \"a\"\nport = \"/dev/no-such\\nq31 collect: "
                             "info: forged\"\nserial = 1\n";
    const CollectRun run = RunCollect({"collect", "--config", config, "--once", "--db", dir + "/q31.sqlite"}, dir);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(Count(run.err,
                    "cannot open /dev/no-such\\nq31 collect: info: forged: No such file or directory; not "
                    "tried again in this run (retries = 0)"),
              1)
        << run.err;
    EXPECT_EQ(Count(run.err, "\nq31 collect: info: forged"), 0) << run.err;
    EXPECT_EQ(Count(run.out, "\nq31 collect: info: forged"), 0) << run.out;
}

TEST(CollectStop, AReloadThatMovesTheDatabaseSaysItIsIgnoredUntilARestart) {
    const std::string dir = MakeTempDir("q31-collect-reload-db");
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << "[collect]\ndb = \"" << dir << "/first.sqlite\"\n" << kRunningMeter + 10;
    CollectChild watch({"collect", "--config", config, "--jsonl"}, dir);
    ASSERT_TRUE(watch.WaitForOutput("\"kind\":\"archive\"", std::chrono::seconds(30))) << watch.Err();
    std::ofstream(config) << "[collect]\ndb = \"" << dir << "/second.sqlite\"\n" << kRunningMeter + 10;
    ASSERT_TRUE(watch.Signal(SIGHUP));
    EXPECT_TRUE(Eventually([&] { return Count(watch.Err(), "configuration reloaded") == 1; }, milliseconds(20000)));
    EXPECT_EQ(Count(watch.Err(), "warning: db changed to " + dir +
                                     "/second.sqlite: ignored until the collector is "
                                     "restarted; still writing to " +
                                     dir + "/first.sqlite"),
              1)
        << watch.Err();
    EXPECT_FALSE(std::filesystem::exists(dir + "/second.sqlite"));
}

// The database on a small file system of its own, which the test fills.
TEST(CollectStop, AFullDiskIsToldOnceAndCollectingGoesOnWhenThereIsSpace) {
    const std::string dir = MakeTempDir("q31-collect-full");
    const std::string disk = dir + "/disk";
    std::filesystem::create_directory(disk);
    if (std::system(("mount -t tmpfs -o size=3m tmpfs " + disk + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (it takes root)";
    struct Unmount {
        std::string path;
        ~Unmount() { std::system(("umount -l " + path).c_str()); }
    } unmount{disk};
    const std::string db = disk + "/q31.sqlite";
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << kRunningMeter;

    CollectChild watch({"collect", "--config", config, "--jsonl", "--db", db}, dir);
    ASSERT_TRUE(watch.WaitForOutput("\"kind\":\"archive\"", std::chrono::seconds(30))) << watch.Err();
    {
        std::ofstream filler(disk + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    const std::string full = "database or disk is full: nothing is stored until there is space again";
    ASSERT_TRUE(Eventually([&] { return Count(watch.Err(), full) > 0; }, milliseconds(30000))) << watch.Err();
    const long long records = QueryNumber(db, "SELECT count(*) FROM archive_values");
    std::filesystem::remove(disk + "/filler");
    EXPECT_TRUE(
        Eventually([&] { return Count(watch.Err(), "the database takes writes again") == 1; }, milliseconds(20000)))
        << watch.Err();
    EXPECT_TRUE(Eventually([&] { return QueryNumber(db, "SELECT count(*) FROM archive_values") > records; },
                           milliseconds(20000)));
    ASSERT_TRUE(watch.Signal(SIGTERM));
    ASSERT_TRUE(watch.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(watch.ExitStatus(), 143) << watch.Err();
    EXPECT_EQ(Count(watch.Err(), full), 1) << watch.Err();
    EXPECT_EQ(QueryRows(db, "SELECT status FROM runs"), std::vector<std::string>{"interrupted"});
}

}  // namespace
}  // namespace q31::test
