#include "tools/q31/collect/CollectStore.h"

#include <algorithm>
#include <ctime>

#include "tools/q31/ToolError.h"
#include "tools/q31/collect/CollectConfig.h"

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
};
constexpr int kMigrationCount = static_cast<int>(sizeof kMigrations / sizeof *kMigrations);
static_assert(kMigrationCount == CollectStore::kSchemaVersion);

std::string WordsText(const std::vector<std::uint16_t>& words) {
    std::string s;
    for (std::uint16_t w : words) s += (s.empty() ? "" : " ") + std::to_string(w);
    return s;
}

}  // namespace

CollectStore::CollectStore(const std::string& path) : db_(path) {
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

void CollectStore::NoteMeter(const MeterSpec& meter, const SDevIdent& ident, std::uint32_t moduleCount) {
    SqliteStatement s(db_.Handle(),
                      "INSERT INTO meters(name, serial, address, port, dev_type, id_word2, module_count, first_seen, "
                      "last_seen) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?8) ON CONFLICT(name) DO UPDATE SET "
                      "serial=?2, address=?3, port=?4, dev_type=?5, id_word2=?6, module_count=?7, last_seen=?8");
    s.Bind(1, meter.name).Bind(2, static_cast<std::int64_t>(meter.serial)).Bind(3, meter.address).Bind(4, meter.port);
    s.Bind(5, ident.DevType).Bind(6, ident.IdWord2).Bind(7, static_cast<std::int64_t>(moduleCount)).Bind(8, Now());
    s.Run();
}

std::optional<std::uint32_t> CollectStore::LastRecord(const std::string& meter, int module, const std::string& series) {
    SqliteStatement s(db_.Handle(), "SELECT max(record) FROM archive_values WHERE meter=? AND module=? AND series=?");
    s.Bind(1, meter).Bind(2, module).Bind(3, series);
    if (!s.Step() || s.IsNull(0)) return std::nullopt;
    return static_cast<std::uint32_t>(s.Int(0));
}

int CollectStore::StoreSeries(const std::string& meter, int module, const std::string& series, std::uint32_t first,
                              const std::vector<std::int64_t>& values, const std::optional<RecordGap>& gap,
                              std::int64_t run) {
    SqliteDb::Transaction tx(db_);
    int added = 0;
    {
        SqliteStatement s(db_.Handle(),
                          "INSERT OR IGNORE INTO archive_values(meter, module, series, record, value, run) "
                          "VALUES(?, ?, ?, ?, ?, ?)");
        for (std::size_t i = 0; i < values.size(); ++i) {
            s.Reset().Bind(1, meter).Bind(2, module).Bind(3, series);
            s.Bind(4, static_cast<std::int64_t>(first) + static_cast<std::int64_t>(i)).Bind(5, values[i]).Bind(6, run);
            added += s.Run();
        }
        if (gap) {
            SqliteStatement g(db_.Handle(),
                              "INSERT OR IGNORE INTO gaps(meter, ring, module, series, first_missing, last_missing, "
                              "run, found_at) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
            const bool daily = series.size() > 4 && series.compare(series.size() - 4, 4, "_day") == 0;
            g.Bind(1, meter).Bind(2, std::string(daily ? "day" : "hour")).Bind(3, module).Bind(4, series);
            g.Bind(5, gap->first).Bind(6, gap->last).Bind(7, run).Bind(8, Now()).Run();
        }
    }
    tx.Commit();
    return added;
}

std::optional<std::int64_t> CollectStore::LastSnapshot(const std::string& meter, const std::string& kind) {
    SqliteStatement s(db_.Handle(), "SELECT max(taken_at) FROM snapshots WHERE meter=? AND kind=?");
    s.Bind(1, meter).Bind(2, kind);
    if (!s.Step() || s.IsNull(0)) return std::nullopt;
    return s.Int(0);
}

void CollectStore::StoreSnapshot(const std::string& meter, const std::string& kind, std::int64_t takenAt,
                                 std::int64_t run, const std::string& json) {
    SqliteStatement s(db_.Handle(),
                      "INSERT OR REPLACE INTO snapshots(meter, kind, taken_at, run, data) VALUES(?, ?, ?, ?, ?)");
    s.Bind(1, meter).Bind(2, kind).Bind(3, takenAt).Bind(4, run).Bind(5, json).Run();
}

std::optional<std::vector<std::uint16_t>> CollectStore::LogHead(const std::string& meter, const std::string& log,
                                                                int module) {
    SqliteStatement s(db_.Handle(), "SELECT words FROM log_heads WHERE meter=? AND log=? AND module=?");
    s.Bind(1, meter).Bind(2, log).Bind(3, module);
    if (!s.Step()) return std::nullopt;
    std::vector<std::uint16_t> words;
    const std::string text = s.Text(0);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t used = 0;
        words.push_back(static_cast<std::uint16_t>(std::stoul(text.substr(at), &used)));
        at += used;
        while (at < text.size() && text[at] == ' ') ++at;
    }
    return words;
}

int CollectStore::StoreLogBlock(const std::string& meter, const std::string& log, int module, int block,
                                std::uint32_t recordSize, const std::vector<std::uint8_t>& bytes, std::int64_t run) {
    if (recordSize == 0) return 0;
    SqliteDb::Transaction tx(db_);
    int added = 0;
    {
        SqliteStatement s(
            db_.Handle(),
            "INSERT OR IGNORE INTO log_records(meter, log, module, block, position, data, run, first_seen) "
            "VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
        const std::int64_t now = Now();
        for (std::size_t at = 0, position = 0; at + recordSize <= bytes.size(); at += recordSize, ++position) {
            std::vector<std::uint8_t> record(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(at + recordSize));
            if (std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0xFF; })) continue;
            s.Reset().Bind(1, meter).Bind(2, log).Bind(3, module).Bind(4, block);
            s.Bind(5, static_cast<std::int64_t>(position)).BindBlob(6, record).Bind(7, run).Bind(8, now);
            added += s.Run();
        }
    }
    tx.Commit();
    return added;
}

void CollectStore::StoreLogHead(const std::string& meter, const std::string& log, int module,
                                const std::vector<std::uint16_t>& words, std::int64_t run) {
    SqliteStatement s(
        db_.Handle(),
        "INSERT OR REPLACE INTO log_heads(meter, log, module, words, run, read_at) VALUES(?, ?, ?, ?, ?, ?)");
    s.Bind(1, meter).Bind(2, log).Bind(3, module).Bind(4, WordsText(words)).Bind(5, run).Bind(6, Now()).Run();
}

}  // namespace q31::tool::collect
