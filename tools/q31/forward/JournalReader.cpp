#include "tools/q31/forward/JournalReader.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "tools/q31/common/LogHeadText.h"

namespace q31::tool::forward {

namespace {

JournalBatch::Kind KindOf(const std::string& name) {
    if (name == "archive") return JournalBatch::Kind::Archive;
    if (name == "snapshot") return JournalBatch::Kind::Snapshot;
    if (name == "log") return JournalBatch::Kind::Log;
    if (name == "attempt") return JournalBatch::Kind::Attempt;
    if (name == "event") return JournalBatch::Kind::Event;
    throw std::runtime_error("journal: unknown kind \"" + name + "\"");
}

// A journal row's columns past the ones every batch has.
struct Entry {
    int module = 0;
    std::string name;
    std::int64_t first = 0;
    std::int64_t last = 0;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> gap;
};

// An archive entry's values, one batch per run without a hole.
void ReadArchive(sqlite3* db, JournalBatch b, const Entry& e, std::vector<JournalBatch>& out, std::size_t& rows) {
    b.archive.series = e.name;
    b.archive.module = e.module;
    SqliteStatement q(db,
                      "SELECT record, value, closed_at, closed_at_estimated, quantity, unit FROM archive_values WHERE "
                      "meter=? AND serial=? AND epoch=? AND "
                      "module=? AND series=? AND record BETWEEN ? AND ? ORDER BY record");
    q.Bind(1, b.meter).Bind(2, b.serial).Bind(3, b.epoch).Bind(4, e.module).Bind(5, e.name);
    q.Bind(6, e.first).Bind(7, e.last);
    JournalBatch part = b;
    part.archive.gap = e.gap;
    bool any = false;
    while (q.Step()) {
        const auto record = static_cast<std::uint32_t>(q.Int(0));
        const std::int64_t next =
            static_cast<std::int64_t>(part.archive.first) + static_cast<std::int64_t>(part.archive.values.size());
        if (any && record != next) {
            // A hole: what came so far is one batch, the rest another of the same seq.
            rows += part.archive.values.size();
            out.push_back(std::move(part));
            part = b;
            any = false;
        }
        if (!any) part.archive.first = record;
        any = true;
        part.archive.values.push_back(q.Int(1));
        RecordStamp& stamp = part.archive.stamps.emplace_back();
        stamp.closedAt = q.MaybeInt(2);
        stamp.estimated = q.Int(3) != 0;
        if (!q.IsNull(4)) {
            stamp.quantity = q.Real(4);
            stamp.unit = q.Text(5);
        }
    }
    if (!any && !part.archive.gap) return;  // nothing left of it (the rows went since)
    if (!any) part.archive.first = static_cast<std::uint32_t>(e.first);
    rows += std::max<std::size_t>(1, part.archive.values.size());
    out.push_back(std::move(part));
}

bool ReadSnapshot(sqlite3* db, JournalBatch& b, const Entry& e) {
    b.snapshot.kind = e.name;
    b.snapshot.takenAt = e.first;
    SqliteStatement q(db, "SELECT data FROM snapshots WHERE meter=? AND kind=? AND taken_at=?");
    q.Bind(1, b.meter).Bind(2, e.name).Bind(3, e.first);
    if (!q.Step()) return false;
    b.snapshot.json = q.Text(0);
    if (b.serial == 0) {
        // Entries from before the journal kept the serial number:
        // the one that had answered under the name by then.
        SqliteStatement s(db,
                          "SELECT coalesce((SELECT serial FROM meter_units WHERE meter = ?1 AND first_seen <= ?2 "
                          "ORDER BY first_seen DESC LIMIT 1), (SELECT serial FROM meters WHERE name = ?1), 0)");
        s.Bind(1, b.meter).Bind(2, e.first);
        if (s.Step()) b.serial = static_cast<std::uint32_t>(s.Int(0));
    }
    return true;
}

// A log's head (block 0) or one block of its records.
bool ReadLog(sqlite3* db, JournalBatch& b, const Entry& e, std::size_t& rows) {
    b.log.log = e.name;
    b.log.module = e.module;
    b.log.block = static_cast<int>(e.first);
    if (e.first == 0) {
        SqliteStatement q(db,
                          "SELECT words FROM log_heads WHERE meter=? AND serial=? AND epoch=? AND log=? AND module=?");
        q.Bind(1, b.meter).Bind(2, b.serial).Bind(3, b.epoch).Bind(4, e.name).Bind(5, e.module);
        if (!q.Step()) return false;
        b.log.head = LogHeadWords(q.Text(0));
        return true;
    }
    SqliteStatement q(db,
                      "SELECT position, data FROM log_records WHERE meter=? AND serial=? AND epoch=? AND "
                      "log=? AND module=? AND block=? ORDER BY position, data");
    q.Bind(1, b.meter).Bind(2, b.serial).Bind(3, b.epoch).Bind(4, e.name).Bind(5, e.module);
    q.Bind(6, e.first);
    while (q.Step()) b.log.records.push_back({static_cast<int>(e.first), static_cast<int>(q.Int(0)), q.Blob(1)});
    rows += b.log.records.size();
    return true;
}

bool ReadAttempt(sqlite3* db, JournalBatch& b, const Entry& e) {
    SqliteStatement q(db,
                      "SELECT serial_expected, serial_found, started_at, ended_at, outcome, message, packets, "
                      "resends, (SELECT max(ended_at) FROM attempts b WHERE b.meter = a.meter AND b.id <= a.id "
                      "AND b.outcome = 'ok') FROM attempts a WHERE id=?");
    q.Bind(1, e.first);
    if (!q.Step()) return false;
    b.attempt.id = e.first;
    b.attempt.serialExpected = static_cast<std::uint32_t>(q.Int(0));
    if (!q.IsNull(1)) b.attempt.serialFound = static_cast<std::uint32_t>(q.Int(1));
    b.attempt.startedAt = q.Int(2);
    b.attempt.endedAt = q.Int(3);
    b.attempt.outcome = q.Text(4);
    b.attempt.message = q.Text(5);
    b.attempt.packets = static_cast<int>(q.Int(6));
    b.attempt.resends = static_cast<int>(q.Int(7));
    b.attempt.failuresInRow = static_cast<int>(e.last);
    b.attempt.lastOk = q.MaybeInt(8);
    return true;
}

bool ReadEvent(sqlite3* db, JournalBatch& b, const Entry& e) {
    SqliteStatement q(db, "SELECT kind, detail, at FROM meter_events WHERE id=?");
    q.Bind(1, e.first);
    if (!q.Step()) return false;
    b.event = {e.first, q.Text(0), q.Text(1), q.Int(2)};
    return true;
}

}  // namespace

JournalReader::JournalReader(const std::string& path, const std::atomic<bool>* stop)
    : db_(path, SqliteDb::Mode::ReadWrite), stop_(stop) {
    // The collector's transactions are short; its position writes wait for
    // them, but not for a forwarder that is stopping.
    if (sqlite3_busy_handler(db_.Handle(), &JournalReader::OnBusy, this) != SQLITE_OK)
        ThrowSqliteError(db_.Handle(), path);
    // Made once per file; a second forwarder that comes at the same
    // moment keeps the first one's.
    db_.Exec(
        "CREATE TABLE IF NOT EXISTS journal_generation(id INTEGER PRIMARY KEY CHECK(id = 1), "
        "generation TEXT NOT NULL, made_at INTEGER NOT NULL)");
    db_.Exec(
        "INSERT OR IGNORE INTO journal_generation(id, generation, made_at) "
        "VALUES(1, lower(hex(randomblob(8))), CAST(strftime('%s', 'now') AS INTEGER))");
    SqliteStatement q(db_.Handle(), "SELECT generation FROM journal_generation WHERE id = 1");
    if (q.Step()) generation_ = q.Text(0);
    if (generation_.empty()) throw std::runtime_error("database " + path + ": no generation in journal_generation");
}

int JournalReader::OnBusy(void* self, int count) {
    const auto* reader = static_cast<const JournalReader*>(self);
    if (reader->stop_ && reader->stop_->load()) return 0;
    // About a minute in all, in steps short enough to notice a stop.
    if (count >= 6000) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(count < 10 ? 1 : 10));
    return 1;
}

std::vector<JournalBatch> JournalReader::Read(std::int64_t afterSeq, std::size_t maxRows) {
    std::vector<JournalBatch> out;
    // One read transaction: the entries and their rows as of one moment.
    SqliteDb::Transaction reading(db_, SqliteDb::Transaction::Kind::Read);
    SqliteStatement entries(db_.Handle(),
                            "SELECT seq, kind, meter, serial, epoch, module, name, first, last, gap_first, gap_last, "
                            "at FROM journal WHERE seq > ? ORDER BY seq");
    entries.Bind(1, afterSeq);
    std::size_t rows = 0;
    while (rows < maxRows && entries.Step()) ReadEntry(entries, out, rows);
    return out;
}

void JournalReader::ReadEntry(const SqliteStatement& entries, std::vector<JournalBatch>& out, std::size_t& rows) {
    JournalBatch b;
    b.seq = entries.Int(0);
    b.kind = KindOf(entries.Text(1));
    b.meter = entries.Text(2);
    b.serial = static_cast<std::uint32_t>(entries.Int(3));
    b.epoch = entries.Int(4);
    b.committedAt = entries.Int(11);
    Entry e{static_cast<int>(entries.Int(5)), entries.Text(6), entries.Int(7), entries.Int(8), std::nullopt};
    if (!entries.IsNull(9))
        e.gap = std::make_pair(static_cast<std::uint32_t>(entries.Int(9)), static_cast<std::uint32_t>(entries.Int(10)));
    sqlite3* db = db_.Handle();
    bool found = false;
    switch (b.kind) {
        case JournalBatch::Kind::Archive: ReadArchive(db, std::move(b), e, out, rows); return;
        case JournalBatch::Kind::Snapshot: found = ReadSnapshot(db, b, e); break;
        case JournalBatch::Kind::Log: found = ReadLog(db, b, e, rows); break;
        case JournalBatch::Kind::Attempt: found = ReadAttempt(db, b, e); break;
        case JournalBatch::Kind::Event: found = ReadEvent(db, b, e); break;
    }
    if (!found) return;  // its row went since
    ++rows;
    out.push_back(std::move(b));
}

std::int64_t JournalReader::NewestSeq() {
    SqliteStatement q(db_.Handle(), "SELECT coalesce(max(seq), 0) FROM journal");
    q.Step();
    return q.Int(0);
}

std::int64_t JournalReader::CommittedAfter(std::int64_t afterSeq) {
    SqliteStatement q(db_.Handle(), "SELECT at FROM journal WHERE seq > ? ORDER BY seq LIMIT 1");
    q.Bind(1, afterSeq);
    return q.Step() ? q.Int(0) : 0;
}

std::int64_t JournalReader::Position(const std::string& sink) {
    SqliteStatement q(db_.Handle(), "SELECT seq FROM sink_positions WHERE sink=?");
    q.Bind(1, sink);
    return q.Step() ? q.Int(0) : 0;
}

void JournalReader::SetPosition(const std::string& sink, std::int64_t seq) {
    SqliteStatement q(
        db_.Handle(),
        "INSERT INTO sink_positions(sink, seq, at) VALUES(?1, ?2, ?3) ON CONFLICT(sink) DO UPDATE SET seq=?2, "
        "at=?3");
    q.Bind(1, sink).Bind(2, seq).Bind(3, static_cast<std::int64_t>(std::time(nullptr)));
    q.Run();
}

}  // namespace q31::tool::forward
