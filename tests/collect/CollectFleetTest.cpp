// The example fleet and the ordinary runs of q31 collect: everything the
// meters hold ends up stored once, with the meters' values.
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/ArchiveContent.h"
#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

const std::string kExample = std::string(Q31_SOURCE_DIR) + "/examples/fleet.toml";

std::string Join(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

std::string WriteConfig(const std::string& dir, const std::string& name, const std::string& text) {
    const std::string path = dir + "/" + name;
    std::ofstream(path) << text;
    return path;
}

long long ExpectedArchiveRows(const std::vector<SimMeterFacts>& meters) {
    long long rows = 0;
    for (const SimMeterFacts& m : meters) {
        const long long hours = std::min<std::uint32_t>(m.hourCount, 1080);
        const long long days = std::min<std::uint32_t>(m.dayCount, 550);
        rows += (hours + days) * (1 + 5LL * m.modules);  // time once, five series per module
    }
    return rows;
}

TEST(CollectFleet, ExampleStoresWholeRingsWithTheMetersValuesAndASecondRunAddsNothing) {
    const std::string dir = MakeTempDir("q31-collect-fleet");
    const std::string db = dir + "/q31.sqlite";
    const std::vector<SimMeterFacts> meters = MetersOfConfig(kExample);
    ASSERT_EQ(meters.size(), 3u);

    const CollectRun first = RunCollect({"collect", "--config", kExample, "--once", "--db", db}, dir);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("3 meters read, 0 failed"), std::string::npos) << first.out;
    EXPECT_EQ(Join(CheckDatabase(db, meters)), "");
    const long long rows = QueryNumber(db, "SELECT count(*) FROM archive_values");
    EXPECT_EQ(rows, ExpectedArchiveRows(meters));
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps"), 0);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM snapshots"), 6);
    EXPECT_EQ(QueryNumber(db, "PRAGMA user_version"), 5);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM meters"), 3);

    const long long logs = QueryNumber(db, "SELECT count(*) FROM log_records");
    const CollectRun second = RunCollect({"collect", "--config", kExample, "--once", "--db", db}, dir);
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values"), rows);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM log_records"), logs);
    // Snapshots are due every 15 minutes, not at once again.
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM snapshots"), 6);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM runs WHERE status='done' AND finished_at IS NOT NULL"), 2);
    EXPECT_EQ(QueryNumber(db, "SELECT records FROM runs WHERE id=2"), 0);
    EXPECT_EQ(Join(CheckDatabase(db, meters)), "");
}

TEST(CollectFleet, JsonLinesTellEachStoredBatchAndTheSummaryMovesToStderr) {
    const std::string dir = MakeTempDir("q31-collect-jsonl");
    const std::string db = dir + "/q31.sqlite";
    const std::string config = WriteConfig(dir, "one.toml", R"(
[[meter]]
name = "one"
port = "sim:7"
serial = 4242
timeout_ms = 200
logs = false
current_every_min = 0
  [meter.sim]
  modules = 1
  hour_count = 50
  day_count = 20
)");
    const CollectRun run = RunCollect({"collect", "--config", config, "--once", "--jsonl", "--db", db}, dir);
    ASSERT_EQ(run.status, 0) << run.err;
    long long stored = 0;
    int batches = 0;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        const auto j = nlohmann::json::parse(line);  // every stdout line is JSON
        EXPECT_EQ(j.at("meter"), "one");
        ASSERT_EQ(j.at("kind"), "archive");
        EXPECT_EQ(j.at("last").get<long long>() - j.at("first").get<long long>() + 1, j.at("count").get<long long>());
        stored += j.at("stored").get<long long>();
        ++batches;
    }
    EXPECT_EQ(batches, 12);  // time, then five series of the one module, in each ring
    EXPECT_EQ(stored, QueryNumber(db, "SELECT count(*) FROM archive_values"));
    EXPECT_EQ(stored, (50 + 20) * 6);
    EXPECT_NE(run.err.find("1 meter read, 0 failed"), std::string::npos) << run.err;
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM snapshots"), 0);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM log_records"), 0);
}

TEST(CollectGaps, RecordsOverwrittenBeforeTheyWereReadAreRecordedAsAGap) {
    const std::string dir = MakeTempDir("q31-collect-gaps");
    const std::string db = dir + "/q31.sqlite";
    auto config = [&](std::uint32_t hours, std::uint32_t days) {
        return WriteConfig(dir, "gap" + std::to_string(hours) + ".toml",
                           "[[meter]]\nname = \"m\"\nport = \"sim:9\"\nserial = 99\ntimeout_ms = 200\nlogs = false\n"
                           "current_every_min = 0\n[meter.sim]\nmodules = 1\nhour_count = " +
                               std::to_string(hours) + "\nday_count = " + std::to_string(days) + "\n");
    };
    ASSERT_EQ(RunCollect({"collect", "--config", config(100, 30), "--once", "--db", db}, dir).status, 0);
    // The same meter much later: both rings went round past what was stored.
    const CollectRun later = RunCollect({"collect", "--config", config(1500, 600), "--once", "--db", db}, dir);
    ASSERT_EQ(later.status, 0) << later.err;

    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps"), 12);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps WHERE ring='hour' AND first_missing=100 AND last_missing=419"),
              6);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps WHERE ring='day' AND first_missing=30 AND last_missing=49"),
              6);
    EXPECT_EQ(QueryNumber(db, "SELECT gaps FROM runs WHERE id=2"), 12);
    CheckOptions options;
    options.fromOldest = false;  // the first run stored from record 0
    options.logs = false;
    EXPECT_EQ(Join(CheckDatabase(db, {{"m", 1, 1500, 600}}, options)), "");
    EXPECT_EQ(QueryNumber(db, "SELECT min(record) FROM archive_values WHERE series='t_hour'"), 0);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE series='t_hour'"), 100 + 1080);
}

TEST(CollectFailures, SilentAndOtherMetersAreRetriedAndReportedWhileTheRestIsRead) {
    const std::string dir = MakeTempDir("q31-collect-failures");
    const std::string db = dir + "/q31.sqlite";
    // "silent" shares the line of "good" at an address nobody answers; "wrong"
    // is a meter with another serial number than the one expected.
    const std::string config = WriteConfig(dir, "failures.toml", R"(
[collect]
retries = 1
retry_base_ms = 50

[defaults]
timeout_ms = 100
send_limit = 1
current_every_min = 0

[[meter]]
name = "good"
port = "sim:11"
serial = 1111
address = 201
  [meter.sim]
  modules = 1
  hour_count = 60
  day_count = 20

[[meter]]
name = "silent"
port = "sim:11"
serial = 2222
address = 202

[[meter]]
name = "wrong"
port = "sim:12"
serial = 3333
  [meter.sim]
  serial = 999
)");
    const CollectRun run = RunCollect({"collect", "--config", config, "--once", "--db", db}, dir);
    EXPECT_EQ(run.status, 4) << run.err;  // the first meter that failed: no answer
    EXPECT_NE(run.out.find("1 meter read, 2 failed"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("failed: silent (sim:11, address 202): no answer"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("expected serial number 3333, found 999"), std::string::npos) << run.out;
    // One try and one retry each, told once, and both on record; every meter
    // of the configuration has its row, answered or not.
    auto count = [&](const std::string& text) {
        int n = 0;
        for (auto at = run.err.find(text); at != std::string::npos; at = run.err.find(text, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("q31 collect: warning: silent"), 1) << run.err;
    EXPECT_EQ(count("q31 collect: warning: wrong"), 1) << run.err;
    EXPECT_EQ(
        QueryRows(db, "SELECT name, serial, first_seen IS NULL, last_outcome, failures FROM meters ORDER BY name"),
        (std::vector<std::string>{"good|1111|0|ok|0", "silent|2222|1|no answer|2", "wrong|3333|1|other meter|2"}));
    EXPECT_EQ(QueryRows(db,
                        "SELECT serial_found, packets > 0, started_at <= ended_at FROM attempts WHERE "
                        "meter='wrong'"),
              (std::vector<std::string>{"999|1|1", "999|1|1"}));

    // The three questions of an operator in docs/collector.md, asked of this database.
    const auto failedAt = QueryRows(db, ReadmeQuery("Which meters failed, and when"));
    ASSERT_EQ(failedAt.size(), 4u) << failedAt[0];
    EXPECT_EQ(std::count_if(failedAt.begin(), failedAt.end(),
                            [](const std::string& r) {
                                return r.rfind("silent|", 0) == 0 &&
                                       r.find(
                                           "|no answer|silent (sim:11, address 202): no answer to the "
                                           "identification") != std::string::npos;
                            }),
              2);
    // Hour 59 is the newest of the 60 the meter holds; E is 8 bytes wide.
    const std::string latestE =
        "good|1111|1|e_hour|59|" + std::to_string(static_cast<std::int64_t>(
                                       sim::ArchiveFieldValue(sim::ArchiveRing::Hours, sim::ArchiveField::E, 1, 59)));
    const auto latest = QueryRows(db, ReadmeQuery("The latest value of every series"));
    // No quantity in this file: the value goes raw, and the time is the run's.
    const auto isHourEnd = [](const std::string& t) {
        return t.size() == 19 && t[4] == '-' && t[10] == ' ' && t.compare(13, 6, ":00:00") == 0;
    };
    EXPECT_EQ(std::count_if(latest.begin(), latest.end(),
                            [&](const std::string& r) {
                                return r.rfind(latestE + "|||", 0) == 0 && isHourEnd(r.substr(latestE.size() + 3));
                            }),
              1)
        << latest.size();
    const auto hourly = QueryRows(db, ReadmeQuery("Consumption per hour between two records"),
                                  {{":meter", "good"}, {":module", "1"}, {":from", "10"}, {":to", "12"}});
    std::vector<std::string> expected;
    for (std::uint32_t r = 11; r <= 12; ++r) {
        const auto e = [&](std::uint32_t record) {
            return static_cast<std::int64_t>(
                sim::ArchiveFieldValue(sim::ArchiveRing::Hours, sim::ArchiveField::E, 1, record));
        };
        // Counted back 47 and 48 hours from the newest: estimated.
        expected.push_back(std::to_string(r) + "|1|" + std::to_string(e(r) - e(r - 1)) + "|");
    }
    ASSERT_EQ(hourly.size(), 2u);
    std::vector<std::string> found;
    std::vector<std::string> hours;
    for (const std::string& row : hourly) {
        // record|hour_ended|estimated|consumption|unit
        const auto bar = row.find('|');
        hours.push_back(row.substr(bar + 1, 19));
        EXPECT_TRUE(isHourEnd(hours.back())) << row;
        found.push_back(row.substr(0, bar) + row.substr(bar + 20));
    }
    EXPECT_EQ(found, expected);
    EXPECT_NE(hours[0], hours[1]);
    EXPECT_EQ(Join(CheckDatabase(db, {{"good", 1, 60, 20}})), "");
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE meter<>'good'"), 0);
    EXPECT_EQ(QueryNumber(db, "SELECT status='failures' FROM runs WHERE id=1"), 1);
    EXPECT_EQ(QueryNumber(db, "SELECT meters_failed FROM runs WHERE id=1"), 2);
}

TEST(CollectConfig, AnUnknownKeyIsRefusedWithItsName) {
    const std::string dir = MakeTempDir("q31-collect-config");
    const std::string config =
        WriteConfig(dir, "bad.toml", "[[meter]]\nname = \"x\"\nport = \"sim:1\"\nserial = 1\ncolour = \"red\"\n");
    const CollectRun run = RunCollect({"collect", "--config", config, "--once", "--db", dir + "/db"}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("colour: unknown key"), std::string::npos) << run.err;
}

TEST(CollectConfig, AConfirmModeOtherThanOffAlwaysOrAutoIsRefusedWithWhereItStands) {
    const std::string dir = MakeTempDir("q31-collect-confirm");
    const std::string meter = "[[meter]]\nname = \"x\"\nport = \"sim:1\"\nserial = 1\n";
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {"[collect]\nconfirm = \"twice\"\n" + meter,
              "collect: confirm: must be off, always or auto, not \"twice\""},
             {meter + "confirm = \"never\"\n", "meter 1 (\"x\"): confirm: must be off, always or auto, not \"never\""},
             {meter + "confirm = 1\n", "meter 1 (\"x\"): confirm: wrong type"}}) {
        const CollectRun run = RunCollect(
            {"collect", "--config", WriteConfig(dir, "confirm.toml", text), "--once", "--db", dir + "/db"}, dir);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace q31::test
