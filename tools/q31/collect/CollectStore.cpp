#include "tools/q31/collect/CollectStore.h"

#include <algorithm>
#include <ctime>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/common/LogHeadText.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool::collect {

namespace {

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// Each entry takes the schema from version i to i + 1. Only ever append.
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE meters(
    name TEXT PRIMARY KEY,
    serial INTEGER NOT NULL,
    address INTEGER NOT NULL,
    port TEXT NOT NULL,
    dev_type INTEGER,
    id_word2 INTEGER,
    module_count INTEGER,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL
);
CREATE TABLE runs(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    started_at INTEGER NOT NULL,
    finished_at INTEGER,
    mode TEXT NOT NULL,
    status TEXT NOT NULL DEFAULT 'running',
    meters_ok INTEGER,
    meters_failed INTEGER,
    records INTEGER,
    gaps INTEGER,
    log_records INTEGER,
    snapshots INTEGER
);
CREATE TABLE archive_values(
    meter TEXT NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    record INTEGER NOT NULL,
    value INTEGER NOT NULL,
    run INTEGER,
    PRIMARY KEY(meter, module, series, record)
) WITHOUT ROWID;
CREATE TABLE gaps(
    meter TEXT NOT NULL,
    ring TEXT NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    first_missing INTEGER NOT NULL,
    last_missing INTEGER NOT NULL,
    run INTEGER,
    found_at INTEGER NOT NULL,
    PRIMARY KEY(meter, module, series, first_missing)
);
CREATE TABLE snapshots(
    meter TEXT NOT NULL,
    kind TEXT NOT NULL,
    taken_at INTEGER NOT NULL,
    run INTEGER,
    data TEXT NOT NULL,
    PRIMARY KEY(meter, kind, taken_at)
);
CREATE TABLE log_heads(
    meter TEXT NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    words TEXT NOT NULL,
    run INTEGER,
    read_at INTEGER NOT NULL,
    PRIMARY KEY(meter, log, module)
);
CREATE TABLE log_records(
    meter TEXT NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    block INTEGER NOT NULL,
    position INTEGER NOT NULL,
    data BLOB NOT NULL,
    run INTEGER,
    first_seen INTEGER NOT NULL,
    PRIMARY KEY(meter, log, module, block, position, data)
);
)sql",
    // 2: the serial number that answered and its epoch join the keys of
    // everything read from the archive and the logs. Rows from before can
    // only have come from the serial number the meter row names.
    R"sql(
CREATE TABLE meter_units(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    hour_count INTEGER,
    day_count INTEGER,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL,
    PRIMARY KEY(meter, serial)
);
CREATE TABLE meter_events(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    kind TEXT NOT NULL,
    detail TEXT NOT NULL,
    run INTEGER,
    at INTEGER NOT NULL
);
CREATE TABLE archive_values_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    record INTEGER NOT NULL,
    value INTEGER NOT NULL,
    run INTEGER,
    PRIMARY KEY(meter, serial, epoch, module, series, record)
) WITHOUT ROWID;
INSERT INTO archive_values_2
    SELECT a.meter, coalesce(m.serial, 0), 0, a.module, a.series, a.record, a.value, a.run
    FROM archive_values a LEFT JOIN meters m ON m.name = a.meter;
DROP TABLE archive_values;
ALTER TABLE archive_values_2 RENAME TO archive_values;
CREATE TABLE gaps_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    ring TEXT NOT NULL,
    module INTEGER NOT NULL,
    series TEXT NOT NULL,
    first_missing INTEGER NOT NULL,
    last_missing INTEGER NOT NULL,
    run INTEGER,
    found_at INTEGER NOT NULL,
    PRIMARY KEY(meter, serial, epoch, module, series, first_missing)
);
INSERT INTO gaps_2
    SELECT g.meter, coalesce(m.serial, 0), 0, g.ring, g.module, g.series, g.first_missing, g.last_missing, g.run,
           g.found_at
    FROM gaps g LEFT JOIN meters m ON m.name = g.meter;
DROP TABLE gaps;
ALTER TABLE gaps_2 RENAME TO gaps;
CREATE TABLE log_heads_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    words TEXT NOT NULL,
    run INTEGER,
    read_at INTEGER NOT NULL,
    PRIMARY KEY(meter, serial, epoch, log, module)
);
INSERT INTO log_heads_2
    SELECT h.meter, coalesce(m.serial, 0), 0, h.log, h.module, h.words, h.run, h.read_at
    FROM log_heads h LEFT JOIN meters m ON m.name = h.meter;
DROP TABLE log_heads;
ALTER TABLE log_heads_2 RENAME TO log_heads;
CREATE TABLE log_records_2(
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL,
    epoch INTEGER NOT NULL,
    log TEXT NOT NULL,
    module INTEGER NOT NULL,
    block INTEGER NOT NULL,
    position INTEGER NOT NULL,
    data BLOB NOT NULL,
    run INTEGER,
    first_seen INTEGER NOT NULL,
    PRIMARY KEY(meter, serial, epoch, log, module, block, position, data)
);
INSERT INTO log_records_2
    SELECT r.meter, coalesce(m.serial, 0), 0, r.log, r.module, r.block, r.position, r.data, r.run, r.first_seen
    FROM log_records r LEFT JOIN meters m ON m.name = r.meter;
DROP TABLE log_records;
ALTER TABLE log_records_2 RENAME TO log_records;
-- The counters last seen are the newest record stored plus one: a meter
-- whose counters now stand below them was reset.
INSERT INTO meter_units(meter, serial, epoch, hour_count, day_count, first_seen, last_seen)
    SELECT m.name, m.serial, 0,
           (SELECT max(record) + 1 FROM archive_values a
             WHERE a.meter = m.name AND a.serial = m.serial AND a.series GLOB '*_hour'),
           (SELECT max(record) + 1 FROM archive_values a
             WHERE a.meter = m.name AND a.serial = m.serial AND a.series GLOB '*_day'),
           m.first_seen, m.last_seen
    FROM meters m;
)sql",
    // 3: every attempt on record, and every meter of the configuration in
    // `meters` from its first attempt, whether it ever answered or not
    // (first_seen and last_seen stay NULL until it does); snapshots keep the
    // start of the pass that took them, from which the next one is due.
    R"sql(
CREATE TABLE meters_3(
    name TEXT PRIMARY KEY,
    serial INTEGER NOT NULL,
    address INTEGER NOT NULL,
    port TEXT NOT NULL,
    dev_type INTEGER,
    id_word2 INTEGER,
    module_count INTEGER,
    first_seen INTEGER,
    last_seen INTEGER,
    first_attempt INTEGER NOT NULL,
    last_attempt INTEGER,
    last_ok INTEGER,
    last_outcome TEXT,
    failures INTEGER NOT NULL DEFAULT 0
);
INSERT INTO meters_3(name, serial, address, port, dev_type, id_word2, module_count, first_seen, last_seen,
                     first_attempt, last_attempt, last_ok, last_outcome)
    SELECT name, serial, address, port, dev_type, id_word2, module_count, first_seen, last_seen,
           first_seen, last_seen, last_seen, 'ok'
    FROM meters;
DROP TABLE meters;
ALTER TABLE meters_3 RENAME TO meters;
CREATE TABLE attempts(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    meter TEXT NOT NULL,
    serial_expected INTEGER NOT NULL,
    serial_found INTEGER,
    started_at INTEGER NOT NULL,
    ended_at INTEGER NOT NULL,
    outcome TEXT NOT NULL
        CHECK(outcome IN ('ok', 'no answer', 'other meter', 'port error', 'port busy', 'error')),
    message TEXT NOT NULL DEFAULT '',
    packets INTEGER NOT NULL DEFAULT 0,
    resends INTEGER NOT NULL DEFAULT 0,
    run INTEGER
);
CREATE INDEX attempts_by_meter ON attempts(meter, started_at);
CREATE INDEX attempts_failed ON attempts(started_at) WHERE outcome <> 'ok';
ALTER TABLE snapshots ADD COLUMN pass_started INTEGER;
)sql",
    // 4: the journal. Every batch adds one row in its own transaction, in
    // the order of the commits, which the forwarder ships to the sinks;
    // `sink_positions` keeps how far each sink got. What was stored before
    // goes into it first, so a sink added later gets the history too.
    R"sql(
CREATE TABLE journal(
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    kind TEXT NOT NULL,
    meter TEXT NOT NULL,
    serial INTEGER NOT NULL DEFAULT 0,
    epoch INTEGER NOT NULL DEFAULT 0,
    module INTEGER NOT NULL DEFAULT 0,
    name TEXT NOT NULL DEFAULT '',
    first INTEGER NOT NULL DEFAULT 0,
    last INTEGER NOT NULL DEFAULT 0,
    gap_first INTEGER,
    gap_last INTEGER,
    at INTEGER NOT NULL
);
CREATE TABLE sink_positions(
    sink TEXT PRIMARY KEY,
    seq INTEGER NOT NULL,
    at INTEGER NOT NULL
);
-- Replies thrown away during an attempt, by reason, and packets that had none.
ALTER TABLE attempts ADD COLUMN rejected_checksum INTEGER NOT NULL DEFAULT 0;
ALTER TABLE attempts ADD COLUMN rejected_other INTEGER NOT NULL DEFAULT 0;
ALTER TABLE attempts ADD COLUMN timeouts INTEGER NOT NULL DEFAULT 0;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, last, at)
    SELECT 'archive', meter, serial, epoch, module, series, min(record), max(record), max(coalesce(run, 0))
    FROM archive_values GROUP BY meter, serial, epoch, module, series;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, last, gap_first, gap_last, at)
    SELECT 'archive', meter, serial, epoch, module, series, 1, 0, first_missing, last_missing, found_at FROM gaps;
INSERT INTO journal(kind, meter, name, first, at)
    SELECT 'snapshot', meter, kind, taken_at, taken_at FROM snapshots ORDER BY taken_at;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, at)
    SELECT DISTINCT 'log', meter, serial, epoch, module, log, block, 0 FROM log_records;
INSERT INTO journal(kind, meter, serial, epoch, module, name, first, at)
    SELECT 'log', meter, serial, epoch, module, log, 0, read_at FROM log_heads;
INSERT INTO journal(kind, meter, serial, epoch, first, at)
    SELECT 'event', meter, serial, epoch, id, at FROM meter_events ORDER BY id;
INSERT INTO journal(kind, meter, serial, first, last, at)
    SELECT 'attempt', meter, serial_expected, id, 0, ended_at FROM attempts ORDER BY id;
)sql",
};
constexpr int kMigrationCount = static_cast<int>(sizeof kMigrations / sizeof *kMigrations);
static_assert(kMigrationCount == CollectStore::kSchemaVersion);

}  // namespace

void CollectStore::Journal(const JournalEntry& e) {
    SqliteStatement s(db_.Handle(),
                      "INSERT INTO journal(kind, meter, serial, epoch, module, name, first, last, gap_first, gap_last, "
                      "at) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.Bind(1, e.kind).Bind(2, e.meter).Bind(3, static_cast<std::int64_t>(e.serial)).Bind(4, e.epoch);
    s.Bind(5, e.module).Bind(6, e.name).Bind(7, e.first).Bind(8, e.last);
    if (e.gap) s.Bind(9, e.gap->first).Bind(10, e.gap->last);
    s.Bind(11, Now()).Run();
}

CollectStore::CollectStore(const std::string& path, std::function<bool(long long waitedMs)> keepWaiting) : db_(path) {
    if (keepWaiting) db_.OnBusy(std::move(keepWaiting));
    // WAL: readers (sqlite3, reports) never block the collector, and a
    // killed writer leaves the database as of its last commit.
    {
        SqliteStatement wal(db_.Handle(), "PRAGMA journal_mode=WAL");
        if (!wal.Step() || wal.Text(0) != "wal") throw ToolError(kExitFailure, path + ": cannot switch to WAL mode");
    }
    // A commit survives the process being killed; only a power cut may lose
    // the last few, never consistency.
    db_.Exec("PRAGMA synchronous=NORMAL");
    Migrate();
}

void CollectStore::Migrate() {
    SqliteDb::Transaction tx(db_);
    SqliteStatement version(db_.Handle(), "PRAGMA user_version");
    version.Step();
    const int found = static_cast<int>(version.Int(0));
    version.Reset();
    if (found > kSchemaVersion)
        throw ToolError(kExitFailure, db_.Path() + ": schema version " + std::to_string(found) +
                                          " is newer than this program's " + std::to_string(kSchemaVersion));
    for (int v = found; v < kSchemaVersion; ++v) db_.Exec(kMigrations[v]);
    if (found != kSchemaVersion) db_.Exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
    tx.Commit();
}

std::int64_t CollectStore::NewestJournalSeq() {
    SqliteStatement s(db_.Handle(), "SELECT coalesce(max(seq), 0) FROM journal");
    s.Step();
    return s.Int(0);
}

std::int64_t CollectStore::BeginRun(const std::string& mode) {
    SqliteStatement s(db_.Handle(), "INSERT INTO runs(started_at, mode) VALUES(?, ?)");
    s.Bind(1, Now()).Bind(2, mode).Run();
    SqliteStatement id(db_.Handle(), "SELECT last_insert_rowid()");
    id.Step();
    return id.Int(0);
}

void CollectStore::EndRun(std::int64_t run, const RunTotals& t, const std::string& status) {
    SqliteStatement s(db_.Handle(),
                      "UPDATE runs SET finished_at=?, status=?, meters_ok=?, meters_failed=?, records=?, gaps=?, "
                      "log_records=?, snapshots=? WHERE id=?");
    s.Bind(1, Now()).Bind(2, status).Bind(3, t.metersOk).Bind(4, t.metersFailed).Bind(5, t.records);
    s.Bind(6, t.gaps).Bind(7, t.logRecords).Bind(8, t.snapshots).Bind(9, run).Run();
}

void CollectStore::NoteRunStatus(std::int64_t run, const std::string& status) {
    SqliteStatement s(db_.Handle(), "UPDATE runs SET status=? WHERE id=?");
    s.Bind(1, status).Bind(2, run).Run();
}

std::optional<std::pair<std::int64_t, std::string>> CollectStore::UnendedRunBefore(std::int64_t run) {
    SqliteStatement s(db_.Handle(),
                      "SELECT id, status FROM runs WHERE id < ? AND finished_at IS NULL AND id = (SELECT max(id) FROM "
                      "runs WHERE id < ?)");
    s.Bind(1, run).Bind(2, run);
    if (!s.Step()) return std::nullopt;
    return std::make_pair(s.Int(0), s.Text(1));
}

void CollectStore::EnsureMeter(const MeterSettings& meter, std::int64_t at) {
    SqliteStatement s(db_.Handle(),
                      "INSERT INTO meters(name, serial, address, port, first_attempt) VALUES(?, ?, ?, ?, ?) "
                      "ON CONFLICT(name) DO NOTHING");
    s.Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.address).Bind(4, meter.port);
    s.Bind(5, at).Run();
}

void CollectStore::NoteMeter(const MeterSettings& meter, const SDevIdent& ident, std::uint32_t moduleCount) {
    SqliteStatement s(db_.Handle(),
                      "INSERT INTO meters(name, serial, address, port, dev_type, id_word2, module_count, first_seen, "
                      "last_seen, first_attempt) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?8, ?8) ON CONFLICT(name) DO "
                      "UPDATE SET serial=?2, address=?3, port=?4, dev_type=?5, id_word2=?6, module_count=?7, "
                      "first_seen=coalesce(first_seen, ?8), last_seen=?8");
    s.Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.address).Bind(4, meter.port);
    s.Bind(5, ident.DevType).Bind(6, ident.IdWord2).Bind(7, static_cast<std::int64_t>(moduleCount)).Bind(8, Now());
    s.Run();
}

std::optional<std::uint32_t> CollectStore::KnownSerial(const std::string& name) {
    // A meter that never answered has only the serial number it was expected to have.
    SqliteStatement s(db_.Handle(), "SELECT serial FROM meters WHERE name=? AND first_seen IS NOT NULL");
    s.Bind(1, name);
    if (!s.Step()) return std::nullopt;
    return static_cast<std::uint32_t>(s.Int(0));
}

MeterUnit CollectStore::Unit(const std::string& name, std::uint32_t serial) {
    const auto serialValue = static_cast<std::int64_t>(serial);
    {
        SqliteStatement add(db_.Handle(),
                            "INSERT INTO meter_units(meter, serial, epoch, first_seen, last_seen) VALUES(?1, ?2, 0, "
                            "?3, ?3) ON CONFLICT(meter, serial) DO UPDATE SET last_seen=?3");
        add.Bind(1, name).Bind(2, serialValue).Bind(3, Now()).Run();
    }
    SqliteStatement s(db_.Handle(), "SELECT epoch, hour_count, day_count FROM meter_units WHERE meter=? AND serial=?");
    s.Bind(1, name).Bind(2, serialValue);
    MeterUnit unit;
    if (!s.Step()) return unit;
    unit.epoch = s.Int(0);
    if (!s.IsNull(1)) unit.hourCount = static_cast<std::uint32_t>(s.Int(1));
    if (!s.IsNull(2)) unit.dayCount = static_cast<std::uint32_t>(s.Int(2));
    return unit;
}

std::int64_t CollectStore::NoteEvent(const std::string& name, std::uint32_t serial, const std::string& kind,
                                     const std::string& detail, std::int64_t run) {
    const auto serialValue = static_cast<std::int64_t>(serial);
    SqliteDb::Transaction tx(db_);
    std::int64_t epoch = Unit(name, serial).epoch;
    if (kind == "reset") {
        ++epoch;
        // The counters of the old epoch say nothing about the new one.
        SqliteStatement up(
            db_.Handle(), "UPDATE meter_units SET epoch=?, hour_count=NULL, day_count=NULL WHERE meter=? AND serial=?");
        up.Bind(1, epoch).Bind(2, name).Bind(3, serialValue).Run();
    }
    SqliteStatement s(
        db_.Handle(),
        "INSERT INTO meter_events(meter, serial, epoch, kind, detail, run, at) VALUES(?, ?, ?, ?, ?, ?, ?)");
    s.Bind(1, name).Bind(2, serialValue).Bind(3, epoch).Bind(4, kind).Bind(5, detail).Bind(6, run).Bind(7, Now()).Run();
    SqliteStatement id(db_.Handle(), "SELECT last_insert_rowid()");
    id.Step();
    Journal({"event", name, serial, epoch, 0, kind, id.Int(0), 0, std::nullopt});
    tx.Commit();
    return epoch;
}

void CollectStore::NoteCounters(const std::string& name, std::uint32_t serial, std::uint32_t hourCount,
                                std::uint32_t dayCount) {
    SqliteStatement s(db_.Handle(), "UPDATE meter_units SET hour_count=?, day_count=? WHERE meter=? AND serial=?");
    s.Bind(1, static_cast<std::int64_t>(hourCount)).Bind(2, static_cast<std::int64_t>(dayCount)).Bind(3, name);
    s.Bind(4, static_cast<std::int64_t>(serial)).Run();
}

std::optional<std::uint32_t> CollectStore::LastRecord(const MeterKey& meter, int module, const std::string& series) {
    SqliteStatement s(db_.Handle(),
                      "SELECT max(record) FROM archive_values WHERE meter=? AND serial=? AND epoch=? AND module=? AND "
                      "series=?");
    s.Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.epoch);
    s.Bind(4, module).Bind(5, series);
    if (!s.Step() || s.IsNull(0)) return std::nullopt;
    return static_cast<std::uint32_t>(s.Int(0));
}

int CollectStore::StoreSeries(const MeterKey& meter, int module, const std::string& series, std::uint32_t first,
                              const std::vector<std::int64_t>& values, const std::optional<RecordGap>& gap,
                              std::int64_t run) {
    SqliteDb::Transaction tx(db_);
    int added = 0;
    {
        SqliteStatement s(
            db_.Handle(),
            "INSERT OR IGNORE INTO archive_values(meter, serial, epoch, module, series, record, value, run) "
            "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        for (std::size_t i = 0; i < values.size(); ++i) {
            s.Reset().Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.epoch);
            s.Bind(4, module).Bind(5, series);
            s.Bind(6, static_cast<std::int64_t>(first) + static_cast<std::int64_t>(i)).Bind(7, values[i]).Bind(8, run);
            added += s.Run();
        }
        if (gap) {
            SqliteStatement g(db_.Handle(),
                              "INSERT OR IGNORE INTO gaps(meter, serial, epoch, ring, module, series, first_missing, "
                              "last_missing, run, found_at) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
            const bool daily = series.size() > 4 && series.compare(series.size() - 4, 4, "_day") == 0;
            g.Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.epoch);
            g.Bind(4, std::string(daily ? "day" : "hour")).Bind(5, module).Bind(6, series);
            g.Bind(7, gap->first).Bind(8, gap->last).Bind(9, run).Bind(10, Now()).Run();
        }
    }
    if (!values.empty() || gap)
        Journal({"archive", meter.name, meter.serial, meter.epoch, module, series, first,
                 static_cast<std::int64_t>(first) + static_cast<std::int64_t>(values.size()) - 1, gap});
    tx.Commit();
    return added;
}

std::optional<std::int64_t> CollectStore::LastSnapshotStart(const std::string& meter, const std::string& kind) {
    // Snapshots from before the start was kept count from when they were taken.
    SqliteStatement s(db_.Handle(),
                      "SELECT max(coalesce(pass_started, taken_at)) FROM snapshots WHERE meter=? AND kind=?");
    s.Bind(1, meter).Bind(2, kind);
    if (!s.Step() || s.IsNull(0)) return std::nullopt;
    return s.Int(0);
}

void CollectStore::StoreSnapshot(const std::string& meter, std::uint32_t serial, const std::string& kind,
                                 std::int64_t takenAt, std::int64_t passStarted, std::int64_t run,
                                 const std::string& json) {
    SqliteDb::Transaction tx(db_);
    {
        SqliteStatement s(db_.Handle(),
                          "INSERT OR REPLACE INTO snapshots(meter, kind, taken_at, pass_started, run, data) VALUES(?, "
                          "?, ?, ?, ?, ?)");
        s.Bind(1, meter).Bind(2, kind).Bind(3, takenAt).Bind(4, passStarted).Bind(5, run).Bind(6, json).Run();
    }
    Journal({"snapshot", meter, serial, 0, 0, kind, takenAt, 0, std::nullopt});
    tx.Commit();
}

std::optional<std::vector<std::uint16_t>> CollectStore::LogHead(const MeterKey& meter, const std::string& log,
                                                                int module) {
    SqliteStatement s(db_.Handle(),
                      "SELECT words FROM log_heads WHERE meter=? AND serial=? AND epoch=? AND log=? AND module=?");
    s.Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.epoch);
    s.Bind(4, log).Bind(5, module);
    if (!s.Step()) return std::nullopt;
    return LogHeadWords(s.Text(0));
}

int CollectStore::StoreLogBlock(const MeterKey& meter, const std::string& log, int module, int block,
                                std::uint32_t recordSize, const std::vector<std::uint8_t>& bytes, std::int64_t run,
                                std::vector<LogRecord>* added) {
    if (recordSize == 0) return 0;
    SqliteDb::Transaction tx(db_);
    int count = 0;
    {
        SqliteStatement s(
            db_.Handle(),
            "INSERT OR IGNORE INTO log_records(meter, serial, epoch, log, module, block, position, data, run, "
            "first_seen) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        const std::int64_t now = Now();
        for (std::size_t at = 0, position = 0; at + recordSize <= bytes.size(); at += recordSize, ++position) {
            std::vector<std::uint8_t> record(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(at + recordSize));
            if (std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0xFF; })) continue;
            s.Reset().Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.epoch);
            s.Bind(4, log).Bind(5, module).Bind(6, block);
            s.Bind(7, static_cast<std::int64_t>(position)).BindBlob(8, record).Bind(9, run).Bind(10, now);
            if (s.Run() == 0) continue;
            ++count;
            if (added) added->push_back({block, static_cast<int>(position), std::move(record)});
        }
    }
    if (count > 0) Journal({"log", meter.name, meter.serial, meter.epoch, module, log, block, 0, std::nullopt});
    tx.Commit();
    return count;
}

void CollectStore::NoteAttempt(const Attempt& a) {
    SqliteDb::Transaction tx(db_);
    {
        SqliteStatement s(db_.Handle(),
                          "INSERT INTO attempts(meter, serial_expected, serial_found, started_at, ended_at, outcome, "
                          "message, packets, resends, run, rejected_checksum, rejected_other, timeouts) "
                          "VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        s.Bind(1, a.meter).Bind(2, static_cast<std::int64_t>(a.serialExpected));
        if (a.serialFound) s.Bind(3, static_cast<std::int64_t>(*a.serialFound));
        s.Bind(4, a.startedAt).Bind(5, a.endedAt).Bind(6, a.outcome).Bind(7, a.message).Bind(8, a.packets);
        s.Bind(9, a.resends).Bind(10, a.run).Bind(11, a.rejectedChecksum).Bind(12, a.rejectedOther);
        s.Bind(13, a.timeouts).Run();
    }
    const bool ok = a.outcome == "ok";
    SqliteStatement m(db_.Handle(),
                      "UPDATE meters SET last_attempt=?1, last_outcome=?2, "
                      "last_ok=CASE WHEN ?3 THEN ?1 ELSE last_ok END, "
                      "failures=CASE WHEN ?3 THEN 0 ELSE failures + 1 END WHERE name=?4");
    m.Bind(1, a.endedAt).Bind(2, a.outcome).Bind(3, ok ? 1 : 0).Bind(4, a.meter).Run();
    std::int64_t id = 0;
    std::int64_t failures = 0;
    {
        SqliteStatement q(db_.Handle(), "SELECT last_insert_rowid(), (SELECT failures FROM meters WHERE name=?)");
        q.Bind(1, a.meter);
        q.Step();
        id = q.Int(0);
        failures = q.Int(1);
    }
    // The failures in a row as they stood after this attempt.
    Journal({"attempt", a.meter, a.serialExpected, 0, 0, a.outcome, id, failures, std::nullopt});
    tx.Commit();
}

void CollectStore::StoreLogHead(const MeterKey& meter, const std::string& log, int module,
                                const std::vector<std::uint16_t>& words, std::int64_t run) {
    SqliteDb::Transaction tx(db_);
    {
        SqliteStatement s(db_.Handle(),
                          "INSERT OR REPLACE INTO log_heads(meter, serial, epoch, log, module, words, run, read_at) "
                          "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        s.Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.epoch);
        s.Bind(4, log).Bind(5, module).Bind(6, LogHeadText(words)).Bind(7, run).Bind(8, Now()).Run();
    }
    Journal({"log", meter.name, meter.serial, meter.epoch, module, log, 0, 0, std::nullopt});
    tx.Commit();
}

}  // namespace q31::tool::collect
