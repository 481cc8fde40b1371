#include "tools/q31/collect/CollectStore.h"

#include <algorithm>
#include <ctime>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/StoreMigrations.h"
#include "tools/q31/common/LogHeadText.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool::collect {

namespace {

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

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
    for (int v = found; v < kSchemaVersion; ++v) db_.Exec(StoreMigrations()[static_cast<std::size_t>(v)]);
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
                              std::int64_t run, const ArchiveStamp& stamp) {
    SqliteDb::Transaction tx(db_);
    int added = 0;
    {
        // OR IGNORE: a record read again keeps the time and quantity it was
        // first stored with, so what a sink was sent never changes.
        SqliteStatement s(db_.Handle(),
                          "INSERT OR IGNORE INTO archive_values(meter, serial, epoch, module, series, record, value, "
                          "run, closed_at, closed_at_estimated, quantity, unit) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                          "?, ?)");
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::int64_t record = static_cast<std::int64_t>(first) + static_cast<std::int64_t>(i);
            s.Reset().Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.epoch);
            s.Bind(4, module).Bind(5, series).Bind(6, record).Bind(7, values[i]).Bind(8, run);
            if (stamp.timed) s.Bind(9, stamp.ClosedAt(record)).Bind(10, stamp.Estimated(record) ? 1 : 0);
            else s.Bind(10, 0);
            if (stamp.quantity)
                s.BindReal(11, static_cast<double>(values[i]) * stamp.quantity->scale).Bind(12, stamp.quantity->unit);
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

void CollectStore::NoteQuantities(const std::vector<MeterSettings>& meters) {
    SqliteDb::Transaction tx(db_);
    db_.Exec("DELETE FROM quantities");
    SqliteStatement s(db_.Handle(), "INSERT INTO quantities(meter, series, unit, scale, name) VALUES(?, ?, ?, ?, ?)");
    for (const MeterSettings& m : meters)
        for (const auto& [letter, q] : m.quantities)
            s.Reset().Bind(1, m.name).Bind(2, letter).Bind(3, q.unit).BindReal(4, q.scale).Bind(5, q.name).Run();
    tx.Commit();
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
