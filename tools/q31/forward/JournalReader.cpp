#include "tools/q31/forward/JournalReader.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "tools/q31/collect/LogHeadText.h"
#include "tools/q31/forward/SqliteQuery.h"

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

}  // namespace

JournalReader::JournalReader(const std::string& path, const std::atomic<bool>* stop) : path_(path), stop_(stop) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open the database " + path + ": " + why);
    }
    // The collector's transactions are short; its position writes wait for
    // them, but not for a forwarder that is stopping.
    sqlite3_busy_handler(db_, &JournalReader::OnBusy, this);
    try {
        // Made once per file; a second forwarder that comes at the same
        // moment keeps the first one's.
        SqliteQuery(db_,
                    "CREATE TABLE IF NOT EXISTS journal_generation(id INTEGER PRIMARY KEY CHECK(id = 1), "
                    "generation TEXT NOT NULL, made_at INTEGER NOT NULL)")
            .Step();
        SqliteQuery(db_,
                    "INSERT OR IGNORE INTO journal_generation(id, generation, made_at) "
                    "VALUES(1, lower(hex(randomblob(8))), CAST(strftime('%s', 'now') AS INTEGER))")
            .Step();
        SqliteQuery q(db_, "SELECT generation FROM journal_generation WHERE id = 1");
        if (q.Step()) generation_ = q.Text(0);
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
    if (generation_.empty()) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("database " + path + ": no generation in journal_generation");
    }
}

int JournalReader::OnBusy(void* self, int count) {
    const auto* reader = static_cast<const JournalReader*>(self);
    if (reader->stop_ && reader->stop_->load()) return 0;
    // About a minute in all, in steps short enough to notice a stop.
    if (count >= 6000) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(count < 10 ? 1 : 10));
    return 1;
}

JournalReader::~JournalReader() { sqlite3_close(db_); }

std::vector<JournalBatch> JournalReader::Read(std::int64_t afterSeq, std::size_t maxRows) {
    std::vector<JournalBatch> out;
    // One read transaction: the entries and their rows as of one moment.
    sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
    struct End {
        sqlite3* db;
        ~End() { sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr); }
    } end{db_};
    SqliteQuery entries(db_,
                        "SELECT seq, kind, meter, serial, epoch, module, name, first, last, gap_first, gap_last, at "
                        "FROM journal WHERE seq > ? ORDER BY seq");
    entries.Bind(1, afterSeq);
    std::size_t rows = 0;
    while (rows < maxRows && entries.Step()) {
        JournalBatch b;
        b.seq = entries.Int(0);
        b.kind = KindOf(entries.Text(1));
        b.meter = entries.Text(2);
        b.serial = static_cast<std::uint32_t>(entries.Int(3));
        b.epoch = entries.Int(4);
        const int module = static_cast<int>(entries.Int(5));
        const std::string name = entries.Text(6);
        const std::int64_t first = entries.Int(7);
        const std::int64_t last = entries.Int(8);
        b.committedAt = entries.Int(11);
        switch (b.kind) {
            case JournalBatch::Kind::Archive: {
                b.archive.series = name;
                b.archive.module = module;
                SqliteQuery q(db_,
                              "SELECT record, value FROM archive_values WHERE meter=? AND serial=? AND epoch=? AND "
                              "module=? AND series=? AND record BETWEEN ? AND ? ORDER BY record");
                q.Bind(1, b.meter).Bind(2, b.serial).Bind(3, b.epoch).Bind(4, module).Bind(5, name);
                q.Bind(6, first).Bind(7, last);
                JournalBatch part = b;
                if (!entries.IsNull(9))
                    part.archive.gap = std::make_pair(static_cast<std::uint32_t>(entries.Int(9)),
                                                      static_cast<std::uint32_t>(entries.Int(10)));
                bool any = false;
                while (q.Step()) {
                    const auto record = static_cast<std::uint32_t>(q.Int(0));
                    const std::int64_t next = static_cast<std::int64_t>(part.archive.first) +
                                              static_cast<std::int64_t>(part.archive.values.size());
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
                }
                if (!any && !part.archive.gap) continue;  // nothing left of it (the rows went since)
                if (!any) part.archive.first = static_cast<std::uint32_t>(first);
                rows += std::max<std::size_t>(1, part.archive.values.size());
                out.push_back(std::move(part));
                continue;
            }
            case JournalBatch::Kind::Snapshot: {
                b.snapshot.kind = name;
                b.snapshot.takenAt = first;
                SqliteQuery q(db_, "SELECT data FROM snapshots WHERE meter=? AND kind=? AND taken_at=?");
                q.Bind(1, b.meter).Bind(2, name).Bind(3, first);
                if (!q.Step()) continue;
                b.snapshot.json = q.Text(0);
                if (b.serial == 0) {
                    // Entries from before the journal kept the serial number:
                    // the one that had answered under the name by then.
                    SqliteQuery s(
                        db_,
                        "SELECT coalesce((SELECT serial FROM meter_units WHERE meter = ?1 AND first_seen <= ?2 "
                        "ORDER BY first_seen DESC LIMIT 1), (SELECT serial FROM meters WHERE name = ?1), 0)");
                    s.Bind(1, b.meter).Bind(2, first);
                    if (s.Step()) b.serial = static_cast<std::uint32_t>(s.Int(0));
                }
                break;
            }
            case JournalBatch::Kind::Log: {
                b.log.log = name;
                b.log.module = module;
                b.log.block = static_cast<int>(first);
                if (first == 0) {
                    SqliteQuery q(db_,
                                  "SELECT words FROM log_heads WHERE meter=? AND serial=? AND epoch=? AND log=? AND "
                                  "module=?");
                    q.Bind(1, b.meter).Bind(2, b.serial).Bind(3, b.epoch).Bind(4, name).Bind(5, module);
                    if (!q.Step()) continue;
                    b.log.head = collect::LogHeadWords(q.Text(0));
                } else {
                    SqliteQuery q(db_,
                                  "SELECT position, data FROM log_records WHERE meter=? AND serial=? AND epoch=? AND "
                                  "log=? AND module=? AND block=? ORDER BY position, data");
                    q.Bind(1, b.meter).Bind(2, b.serial).Bind(3, b.epoch).Bind(4, name).Bind(5, module);
                    q.Bind(6, first);
                    while (q.Step())
                        b.log.records.push_back({static_cast<int>(first), static_cast<int>(q.Int(0)), q.Blob(1)});
                    rows += b.log.records.size();
                }
                break;
            }
            case JournalBatch::Kind::Attempt: {
                SqliteQuery q(db_,
                              "SELECT serial_expected, serial_found, started_at, ended_at, outcome, message, packets, "
                              "resends, (SELECT max(ended_at) FROM attempts b WHERE b.meter = a.meter AND b.id <= a.id "
                              "AND b.outcome = 'ok') FROM attempts a WHERE id=?");
                q.Bind(1, first);
                if (!q.Step()) continue;
                b.attempt.id = first;
                b.attempt.serialExpected = static_cast<std::uint32_t>(q.Int(0));
                if (!q.IsNull(1)) b.attempt.serialFound = static_cast<std::uint32_t>(q.Int(1));
                b.attempt.startedAt = q.Int(2);
                b.attempt.endedAt = q.Int(3);
                b.attempt.outcome = q.Text(4);
                b.attempt.message = q.Text(5);
                b.attempt.packets = static_cast<int>(q.Int(6));
                b.attempt.resends = static_cast<int>(q.Int(7));
                b.attempt.failuresInRow = static_cast<int>(last);
                if (!q.IsNull(8)) b.attempt.lastOk = q.Int(8);
                break;
            }
            case JournalBatch::Kind::Event: {
                SqliteQuery q(db_, "SELECT kind, detail, at FROM meter_events WHERE id=?");
                q.Bind(1, first);
                if (!q.Step()) continue;
                b.event = {first, q.Text(0), q.Text(1), q.Int(2)};
                break;
            }
        }
        ++rows;
        out.push_back(std::move(b));
    }
    return out;
}

std::int64_t JournalReader::NewestSeq() {
    SqliteQuery q(db_, "SELECT coalesce(max(seq), 0) FROM journal");
    q.Step();
    return q.Int(0);
}

std::int64_t JournalReader::CommittedAfter(std::int64_t afterSeq) {
    SqliteQuery q(db_, "SELECT at FROM journal WHERE seq > ? ORDER BY seq LIMIT 1");
    q.Bind(1, afterSeq);
    return q.Step() ? q.Int(0) : 0;
}

std::int64_t JournalReader::Position(const std::string& sink) {
    SqliteQuery q(db_, "SELECT seq FROM sink_positions WHERE sink=?");
    q.Bind(1, sink);
    return q.Step() ? q.Int(0) : 0;
}

void JournalReader::SetPosition(const std::string& sink, std::int64_t seq) {
    SqliteQuery q(
        db_,
        "INSERT INTO sink_positions(sink, seq, at) VALUES(?1, ?2, ?3) ON CONFLICT(sink) DO UPDATE SET seq=?2, "
        "at=?3");
    q.Bind(1, sink).Bind(2, seq).Bind(3, static_cast<std::int64_t>(std::time(nullptr)));
    q.Step();
}

}  // namespace q31::tool::forward
