// q31 collect stopped at any moment: killed outright (SIGKILL) at random
// points and restarted, or asked to stop (SIGTERM). Nothing may be lost,
// nothing stored twice, and the file must stay intact.
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

std::string Join(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// Three meters, one on a noisy line: a pass takes a few seconds.
const char* const kFleet = R"(
[collect]
retry_base_ms = 100

[defaults]
timeout_ms = 150
send_limit = 6
current_every_min = 0

[[meter]]
name = "a"
port = "sim:21"
serial = 21
  [meter.sim]
  modules = 2
  hour_count = 300
  day_count = 120

[[meter]]
name = "b"
port = "sim:22"
serial = 22
  [meter.sim]
  modules = 1
  hour_count = 400
  day_count = 100

[[meter]]
name = "c"
port = "sim:23"
serial = 23
  [meter.sim]
  modules = 2
  hour_count = 250
  day_count = 90
  faults = [ { kind = "corrupt", rate = 0.03 }, { kind = "silence", rate = 0.01 } ]
)";

std::string WriteFleet(const std::string& dir) {
    const std::string path = dir + "/fleet.toml";
    std::ofstream(path) << kFleet;
    return path;
}

TEST(CollectKill, KilledAtRandomMomentsAndRestartedItLosesAndDuplicatesNothing) {
    const std::string dir = MakeTempDir("q31-collect-kill");
    const std::string db = dir + "/q31.sqlite";
    const std::string config = WriteFleet(dir);
    const std::vector<SimMeterFacts> meters = MetersOfConfig(config);
    const int runs = EnvInt("Q31_COLLECT_KILL_RUNS", 6);
    const unsigned seed =
        static_cast<unsigned>(EnvInt("Q31_COLLECT_KILL_SEED", static_cast<int>(std::random_device{}())));
    std::mt19937 random(seed);
    // Kill points spread over a first pass (a few seconds); a run that got
    // further than a kill point keeps what it committed.
    std::uniform_int_distribution<int> delayMs(0, EnvInt("Q31_COLLECT_KILL_MAX_MS", 3000));
    CheckOptions partial;
    partial.partial = true;
    partial.logs = true;
    int killedRunning = 0;
    long long before = 0;
    for (int i = 0; i < runs; ++i) {
        // The first pass reads everything and so runs longest: its kill point
        // is kept early enough to land in it on a fast machine too.
        const int delay = i == 0 ? delayMs(random) / 3 : delayMs(random);
        CollectChild child({"collect", "--config", config, "--once", "--db", db}, dir);
        // The random kill point itself, not a wait for something to happen.
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        if (child.Signal(SIGKILL)) ++killedRunning;
        ASSERT_TRUE(child.Wait(std::chrono::seconds(10)));
        if (child.TermSignal() == 0) {
            ASSERT_EQ(child.ExitStatus(), 0) << "seed " << seed << ": " << child.Err();
        }
        // A run killed before its schema was committed (or before it made the
        // file at all) left nothing to look at.
        if (QueryNumber(db, "PRAGMA user_version") <= 0) continue;
        // After every kill: intact, no duplicate, every series there whole.
        ASSERT_EQ(Join(CheckDatabase(db, meters, partial)), "")
            << "seed " << seed << ", run " << i << ", killed after " << delay << " ms";
        const long long now = QueryNumber(db, "SELECT count(*) FROM archive_values");
        EXPECT_GE(now, before) << "seed " << seed;
        before = now;
    }
    // Later passes read only what is new and may end before their kill
    // point when the machine is fast or idle; the test means something as
    // long as kills land in running passes at all.
    EXPECT_GE(killedRunning, 1) << "seed " << seed << ": no kill landed in a running pass";

    const CollectRun last = RunCollect({"collect", "--config", config, "--once", "--db", db}, dir);
    ASSERT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(Join(CheckDatabase(db, meters)), "") << "seed " << seed;
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps"), 0);
    // Runs that were killed stay marked as running: nobody closed them. (A
    // kill that lands after a pass marked itself done, before the process
    // ended, leaves a done run: the count of each is not fixed, only that
    // the last pass is done and every run is one or the other.)
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM runs WHERE status NOT IN ('done', 'running')"), 0);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM runs WHERE status='done' AND id=(SELECT max(id) FROM runs)"), 1);
    EXPECT_LE(QueryNumber(db, "SELECT count(*) FROM runs WHERE status='running'"), killedRunning);
}

TEST(CollectKill, SigtermFinishesTheBatchBeingWrittenAndExits) {
    const std::string dir = MakeTempDir("q31-collect-term");
    const std::string db = dir + "/q31.sqlite";
    const std::string config = WriteFleet(dir);
    const std::vector<SimMeterFacts> meters = MetersOfConfig(config);

    // Without --once it would go on for ever.
    CollectChild child({"collect", "--config", config, "--jsonl", "--db", db}, dir);
    ASSERT_TRUE(child.WaitForOutput("\"kind\":\"archive\"", std::chrono::seconds(30))) << child.Err();
    ASSERT_TRUE(child.Signal(SIGTERM));
    ASSERT_TRUE(child.Wait(std::chrono::seconds(10))) << "still running 10 s after SIGTERM";
    EXPECT_EQ(child.TermSignal(), 0);
    EXPECT_EQ(child.ExitStatus(), 143) << child.Err();
    EXPECT_NE(child.Err().find("collect (interrupted)"), std::string::npos) << child.Err();
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM runs WHERE status='interrupted' AND finished_at IS NOT NULL"), 1);
    CheckOptions partial;
    partial.partial = true;
    EXPECT_EQ(Join(CheckDatabase(db, meters, partial)), "");
    // Every batch it announced is in the file.
    long long announced = 0;
    const std::string out = child.Out();
    for (auto at = out.find("\"stored\":"); at != std::string::npos; at = out.find("\"stored\":", at + 1))
        if (out.find("\"kind\":\"archive\"", out.rfind('\n', at) + 1) < at)
            announced += std::atoll(out.c_str() + at + 9);
    EXPECT_EQ(announced, QueryNumber(db, "SELECT count(*) FROM archive_values"));

    const CollectRun rest = RunCollect({"collect", "--config", config, "--once", "--db", db}, dir);
    ASSERT_EQ(rest.status, 0) << rest.err;
    EXPECT_EQ(Join(CheckDatabase(db, meters)), "");
}

}  // namespace
}  // namespace q31::test
