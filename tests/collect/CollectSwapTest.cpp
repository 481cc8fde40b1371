// A meter replaced or reset under the same name, and a database written by
// the schema before serial numbers were kept: records of different meters
// (or of one meter before and after a reset) are never mixed.
#include <fstream>

#include <gtest/gtest.h>

#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

// One virtual meter named "a" on its own line: the t series of both rings.
std::string MeterConfig(const std::string& dir, long long serial, int hours, const std::string& more = "") {
    const std::string path = dir + "/a" + std::to_string(serial) + "-" + std::to_string(hours) + ".toml";
    std::ofstream(path) << "[[meter]]\nname = \"a\"\nport = \"sim:5\"\nserial = " << serial
                        << "\ntimeout_ms = 200\nlogs = false\ncurrent_every_min = 0\nseries = [\"t\"]\n"
                        << more << "[meter.sim]\nmodules = 1\nhour_count = " << hours << "\nday_count = 20\n";
    return path;
}

CollectRun Collect(const std::string& dir, const std::string& config) {
    return RunCollect({"collect", "--config", config, "--once", "--db", dir + "/q31.sqlite"}, dir);
}

TEST(CollectSwap, ANewSerialNumberUnderTheSameNameIsANewMeterReadFromItsOldestRecord) {
    const std::string dir = MakeTempDir("q31-collect-swap");
    const std::string db = dir + "/q31.sqlite";
    // Module 3 is asked for, the meter has one: skipped with a note.
    const CollectRun first = Collect(dir, MeterConfig(dir, 310001, 300, "modules = [1, 3]\n"));
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find("a: the meter counts 1 module; module 3 skipped"), std::string::npos) << first.err;
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE module=3"), 0);

    const CollectRun second = Collect(dir, MeterConfig(dir, 310009, 100));
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.err.find("a: serial number 310009 answers where 310001 did"), std::string::npos) << second.err;
    const CollectRun third = Collect(dir, MeterConfig(dir, 310009, 400));
    ASSERT_EQ(third.status, 0) << third.err;

    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM meter_events"), 1);
    EXPECT_EQ(QueryNumber(db,
                          "SELECT count(*) FROM meter_events WHERE meter='a' AND serial=310009 AND "
                          "kind='replaced' AND detail='serial number 310001 replaced by 310009'"),
              1);
    // The old meter's records as they were; the new one's whole, from 0.
    EXPECT_EQ(QueryNumber(db,
                          "SELECT count(*) FROM archive_values WHERE serial=310001 AND series='t_hour' AND "
                          "record BETWEEN 0 AND 299"),
              300);
    EXPECT_EQ(QueryNumber(db,
                          "SELECT count(*) FROM archive_values WHERE serial=310009 AND series='t_hour' AND "
                          "record BETWEEN 0 AND 399"),
              400);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE serial=310009 AND series='t_day'"), 20);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE epoch<>0"), 0);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps"), 0);
    EXPECT_EQ(QueryNumber(db, "SELECT serial FROM meters WHERE name='a'"), 310009);
}

TEST(CollectSwap, CountersGoneBackUnderTheSameSerialNumberAreAResetReadIntoANewEpoch) {
    const std::string dir = MakeTempDir("q31-collect-reset");
    const std::string db = dir + "/q31.sqlite";
    ASSERT_EQ(Collect(dir, MeterConfig(dir, 310001, 300)).status, 0);
    const CollectRun reset = Collect(dir, MeterConfig(dir, 310001, 100));
    ASSERT_EQ(reset.status, 0) << reset.err;
    EXPECT_NE(reset.err.find("a: the counters went back from hours 300, days 20 to hours 100, days 20 (the meter was "
                             "reset); epoch 1"),
              std::string::npos)
        << reset.err;
    // A later run goes on in the new epoch without another reset.
    ASSERT_EQ(Collect(dir, MeterConfig(dir, 310001, 150)).status, 0);

    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM meter_events WHERE serial=310001 AND epoch=1 AND kind='reset'"), 1);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM meter_events"), 1);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE epoch=0 AND series='t_hour'"), 300);
    EXPECT_EQ(QueryNumber(db,
                          "SELECT count(*) FROM archive_values WHERE epoch=1 AND series='t_hour' AND record "
                          "BETWEEN 0 AND 149"),
              150);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE epoch=1 AND series='t_day'"), 20);
}

TEST(CollectSwap, ASerialNumberEqualInItsLow16BitsIsStillAnotherMeter) {
    const std::string dir = MakeTempDir("q31-collect-serial");
    // 68869 is 3333 + 65536.
    const std::string config = dir + "/high.toml";
    std::ofstream(config) << "[collect]\nretries = 0\n\n[[meter]]\nname = \"a\"\nport = \"sim:5\"\nserial = 68869\n"
                             "timeout_ms = 200\nlogs = false\ncurrent_every_min = 0\n[meter.sim]\nserial = 3333\n";
    const CollectRun run = Collect(dir, config);
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_NE(run.out.find("expected serial number 68869, found 3333"), std::string::npos) << run.out;
    EXPECT_EQ(QueryNumber(dir + "/q31.sqlite", "SELECT count(*) FROM archive_values"), 0);
}

TEST(CollectSwap, AFileOfTheFirstSchemaIsMigratedUnderTheSerialNumberItsMeterRowNames) {
    const std::string dir = MakeTempDir("q31-collect-migrate");
    const std::string db = dir + "/q31.sqlite";
    // The first schema as it was written, with three records of one series,
    // a gap, a log head and a log record of meter "a".
    ASSERT_EQ(ExecSql(db, R"sql(
CREATE TABLE meters(name TEXT PRIMARY KEY, serial INTEGER NOT NULL, address INTEGER NOT NULL, port TEXT NOT NULL,
    dev_type INTEGER, id_word2 INTEGER, module_count INTEGER, first_seen INTEGER NOT NULL, last_seen INTEGER NOT NULL);
CREATE TABLE runs(id INTEGER PRIMARY KEY AUTOINCREMENT, started_at INTEGER NOT NULL, finished_at INTEGER,
    mode TEXT NOT NULL, status TEXT NOT NULL DEFAULT 'running', meters_ok INTEGER, meters_failed INTEGER,
    records INTEGER, gaps INTEGER, log_records INTEGER, snapshots INTEGER);
CREATE TABLE archive_values(meter TEXT NOT NULL, module INTEGER NOT NULL, series TEXT NOT NULL,
    record INTEGER NOT NULL, value INTEGER NOT NULL, run INTEGER, PRIMARY KEY(meter, module, series, record))
    WITHOUT ROWID;
CREATE TABLE gaps(meter TEXT NOT NULL, ring TEXT NOT NULL, module INTEGER NOT NULL, series TEXT NOT NULL,
    first_missing INTEGER NOT NULL, last_missing INTEGER NOT NULL, run INTEGER, found_at INTEGER NOT NULL,
    PRIMARY KEY(meter, module, series, first_missing));
CREATE TABLE snapshots(meter TEXT NOT NULL, kind TEXT NOT NULL, taken_at INTEGER NOT NULL, run INTEGER,
    data TEXT NOT NULL, PRIMARY KEY(meter, kind, taken_at));
CREATE TABLE log_heads(meter TEXT NOT NULL, log TEXT NOT NULL, module INTEGER NOT NULL, words TEXT NOT NULL,
    run INTEGER, read_at INTEGER NOT NULL, PRIMARY KEY(meter, log, module));
CREATE TABLE log_records(meter TEXT NOT NULL, log TEXT NOT NULL, module INTEGER NOT NULL, block INTEGER NOT NULL,
    position INTEGER NOT NULL, data BLOB NOT NULL, run INTEGER, first_seen INTEGER NOT NULL,
    PRIMARY KEY(meter, log, module, block, position, data));
PRAGMA user_version=1;
INSERT INTO runs(started_at, finished_at, mode, status) VALUES(1000, 1001, 'once', 'done');
INSERT INTO meters VALUES('a', 310001, 201, 'sim:5', 5120, 256, 1, 1000, 1000);
INSERT INTO archive_values VALUES('a', 1, 't_hour', 0, 111, 1), ('a', 1, 't_hour', 1, 222, 1),
    ('a', 1, 't_hour', 2, 333, 1);
INSERT INTO gaps VALUES('a', 'day', 1, 't_day', 0, 4, 1, 1000);
INSERT INTO log_heads VALUES('a', 'edit', 1, '1 2 3', 1, 1000);
INSERT INTO log_records VALUES('a', 'edit', 1, 1, 0, x'0102', 1, 1000);
)sql"),
              "");
    const CollectRun run = Collect(dir, MeterConfig(dir, 310001, 5));
    ASSERT_EQ(run.status, 0) << run.err;

    EXPECT_EQ(QueryNumber(db, "PRAGMA user_version"), 5);
    // Records 0..2 kept as stored (not read again), 3 and 4 added after them.
    EXPECT_EQ(QueryNumber(db,
                          "SELECT sum(value) FROM archive_values WHERE serial=310001 AND epoch=0 AND "
                          "series='t_hour' AND record<3"),
              666);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values WHERE series='t_hour'"), 5);
    // The rows from before have no time and stay so; the new ones have theirs.
    EXPECT_EQ(QueryRows(db,
                        "SELECT record, closed_at IS NULL, closed_at_estimated, quantity IS NULL FROM archive_values "
                        "WHERE series='t_hour' ORDER BY record"),
              (std::vector<std::string>{"0|1|0|1", "1|1|0|1", "2|1|0|1", "3|0|0|1", "4|0|0|1"}));
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps WHERE serial=310001 AND epoch=0 AND last_missing=4"), 1);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM log_heads WHERE serial=310001 AND words='1 2 3'"), 1);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM log_records WHERE serial=310001 AND data=x'0102'"), 1);
    EXPECT_EQ(QueryNumber(db, "SELECT hour_count FROM meter_units WHERE meter='a' AND serial=310001"), 5);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM meter_events"), 0);
}

}  // namespace
}  // namespace q31::test
