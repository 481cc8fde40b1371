#include "tools/q31/status/StatusModel.h"

#include <algorithm>

#include "tools/q31/common/SqliteDb.h"
#include "tools/q31/common/SqliteStatement.h"

namespace q31::tool::forward {

namespace {

// The chart shows two days of hourly consumption: the steps between 49 records.
constexpr int kChartPoints = 49;
constexpr int kModuleMax = 6;
// Only a checkpoint's recovery makes a reader wait, and briefly.
constexpr long long kBusyMs = 2000;

const char* const kJournalMark = "SELECT kind || '|' || meter || '|' || at FROM journal WHERE seq = ?";
const char* const kAttemptMark = "SELECT meter || '|' || started_at || '|' || ended_at FROM attempts WHERE id = ?";

std::int64_t Number(SqliteDb& db, const char* sql) {
    SqliteStatement q(db.Handle(), sql);
    return q.Step() ? q.Int(0) : 0;
}

// The row counted up to, told apart from another database's row of the
// same number (the file replaced under the same name).
std::string Mark(SqliteDb& db, const char* sql, std::int64_t id) {
    SqliteStatement q(db.Handle(), sql);
    q.Bind(1, id);
    return q.Step() ? q.Text(0) : std::string();
}

// Each meter's newest hourly energy values, of the first module that has
// any: of the present serial number and epoch only, since a replaced or
// reset meter's records start again.
void ReadCharts(SqliteDb& db, std::vector<MeterState>& meters) {
    SqliteStatement has(db.Handle(),
                        "SELECT 1 FROM archive_values WHERE meter = ? AND serial = ? AND epoch = ? AND module = ? AND "
                        "series = 'e_hour' LIMIT 1");
    SqliteStatement values(
        db.Handle(),
        "SELECT record, value, quantity, unit FROM archive_values WHERE meter = ? AND serial = ? AND epoch = ? AND "
        "module = ? AND series = 'e_hour' ORDER BY record DESC LIMIT ?");
    for (MeterState& m : meters) {
        for (int module = 1; module <= kModuleMax && !m.module; ++module) {
            has.Reset().Bind(1, m.name).Bind(2, m.serial).Bind(3, m.epoch).Bind(4, module);
            if (has.Step()) m.module = module;
        }
        if (!m.module) continue;
        values.Reset().Bind(1, m.name).Bind(2, m.serial).Bind(3, m.epoch).Bind(4, m.module).Bind(5, kChartPoints);
        while (values.Step()) {
            ChartPoint p{values.Int(0), values.Int(1), std::nullopt, {}};
            if (!values.IsNull(2) && !values.IsNull(3)) {
                p.quantity = values.Real(2);
                p.unit = values.Text(3);
            }
            m.points.push_back(std::move(p));
        }
        std::reverse(m.points.begin(), m.points.end());
    }
}

}  // namespace

StatusModel::StatusModel(std::string dbPath, SinkStatus sinks) : dbPath_(std::move(dbPath)), sinks_(std::move(sinks)) {}

StatusSnapshot StatusModel::Read(bool charts) {
    // One request at a time brings the totals up to its own reading: two
    // at once could offer them an older state after a newer one.
    std::lock_guard<std::mutex> lock(readMutex_);
    SqliteDb db(dbPath_, SqliteDb::Mode::ReadOnly);
    db.OnBusy([](long long waitedMs) { return waitedMs < kBusyMs; });
    // Everything a page shows belongs to the same moment.
    SqliteDb::Transaction reading(db, SqliteDb::Transaction::Kind::Read);
    Catchup(db);
    StatusSnapshot snapshot;
    ReadMeters(db, snapshot);
    ReadValues(db, snapshot.meters);
    if (charts) ReadCharts(db, snapshot.meters);
    snapshot.attempts = attempts_;
    if (sinks_) snapshot.sinks = sinks_();
    return snapshot;
}

void StatusModel::ReadMeters(SqliteDb& db, StatusSnapshot& snapshot) const {
    SqliteStatement q(
        db.Handle(),
        "SELECT m.name, m.serial, coalesce(u.epoch, 0), coalesce(m.last_outcome, ''), m.last_ok, m.failures, "
        "m.address, m.port FROM meters m LEFT JOIN meter_units u ON u.meter = m.name AND u.serial = m.serial ORDER BY "
        "m.name");
    while (q.Step()) {
        MeterState m;
        m.name = q.Text(0);
        m.serial = q.Int(1);
        m.epoch = q.Int(2);
        m.outcome = q.Text(3);
        m.lastOk = q.MaybeInt(4);
        m.failures = q.Int(5);
        m.address = q.Int(6);
        m.port = q.Text(7);
        snapshot.meters.push_back(std::move(m));
    }
    std::map<std::string, std::int64_t> records;
    for (const auto& [key, rows] : seriesRows_) records[std::get<0>(key)] += rows;
    std::map<std::string, std::int64_t> gaps;
    SqliteStatement g(db.Handle(), "SELECT meter, count(*) FROM gaps GROUP BY meter");
    while (g.Step()) gaps[g.Text(0)] = g.Int(1);
    for (MeterState& m : snapshot.meters) {
        if (const auto it = records.find(m.name); it != records.end()) m.records = it->second;
        if (const auto it = gaps.find(m.name); it != gaps.end()) m.gaps = it->second;
    }
}

void StatusModel::ReadValues(SqliteDb& db, std::vector<MeterState>& meters) const {
    // The series stored are known from the counts; each newest row is one
    // step down the key, however long the archive.
    SqliteStatement newest(db.Handle(),
                           "SELECT quantity, unit, closed_at FROM archive_values WHERE meter = ? AND serial = ? AND "
                           "epoch = ? AND module = ? AND series = ? ORDER BY record DESC LIMIT 1");
    for (MeterState& m : meters) {
        for (auto it = seriesRows_.lower_bound({m.name, m.serial, m.epoch, 0, ""});
             it != seriesRows_.end() && std::get<0>(it->first) == m.name && std::get<1>(it->first) == m.serial &&
             std::get<2>(it->first) == m.epoch;
             ++it) {
            const auto& [meter, serial, epoch, module, series] = it->first;
            newest.Reset().Bind(1, meter).Bind(2, serial).Bind(3, epoch).Bind(4, module).Bind(5, series);
            // A series stored raw (no quantity configured then) has no gauge.
            if (!newest.Step() || newest.IsNull(0) || newest.IsNull(1)) continue;
            m.values.push_back({static_cast<int>(module), series, newest.Real(0), newest.Text(1), newest.MaybeInt(2)});
        }
    }
}

void StatusModel::Catchup(SqliteDb& db) {
    try {
        CatchupSeries(db);
        CatchupAttempts(db);
    } catch (...) {
        // Half brought up to date: count everything again next time.
        journalSeen_ = -1;
        attemptSeen_ = 0;
        attemptMark_.clear();
        attempts_.clear();
        throw;
    }
}

void StatusModel::CatchupSeries(SqliteDb& db) {
    const std::int64_t newest = Number(db, "SELECT coalesce(max(seq), 0) FROM journal");
    if (journalSeen_ < 0 || newest < journalSeen_ || Mark(db, kJournalMark, journalSeen_) != journalMark_) {
        // The first request, or another database: count all.
        seriesRows_.clear();
        SqliteStatement all(db.Handle(),
                            "SELECT meter, serial, epoch, module, series, count(*) FROM archive_values GROUP BY "
                            "meter, serial, epoch, module, series");
        while (all.Step()) seriesRows_[{all.Text(0), all.Int(1), all.Int(2), all.Int(3), all.Text(4)}] = all.Int(5);
    } else if (newest > journalSeen_) {
        // Every batch of archive values has its journal entry: the series
        // named since the last request are the only ones whose count moved.
        SqliteStatement named(db.Handle(),
                              "SELECT DISTINCT meter, serial, epoch, module, name FROM journal WHERE seq > ? AND "
                              "kind = 'archive'");
        named.Bind(1, journalSeen_);
        SqliteStatement count(db.Handle(),
                              "SELECT count(*) FROM archive_values WHERE meter = ? AND serial = ? AND epoch = ? AND "
                              "module = ? AND series = ?");
        while (named.Step()) {
            SeriesKey key{named.Text(0), named.Int(1), named.Int(2), named.Int(3), named.Text(4)};
            count.Reset().Bind(1, std::get<0>(key)).Bind(2, std::get<1>(key)).Bind(3, std::get<2>(key));
            count.Bind(4, std::get<3>(key)).Bind(5, std::get<4>(key));
            count.Step();
            seriesRows_[key] = count.Int(0);
        }
    }
    journalSeen_ = newest;
    journalMark_ = Mark(db, kJournalMark, newest);
}

void StatusModel::CatchupAttempts(SqliteDb& db) {
    // Attempts are only ever added, in the order of their ids.
    const std::int64_t lastAttempt = Number(db, "SELECT coalesce(max(id), 0) FROM attempts");
    if (lastAttempt < attemptSeen_ || Mark(db, kAttemptMark, attemptSeen_) != attemptMark_) {
        attempts_.clear();
        attemptSeen_ = 0;
    }
    SqliteStatement sums(
        db.Handle(),
        "SELECT meter, outcome, count(*), sum(packets), sum(resends), sum(rejected_checksum), "
        "sum(rejected_other), sum(timeouts) FROM attempts WHERE id > ? AND id <= ? GROUP BY meter, outcome");
    sums.Bind(1, attemptSeen_).Bind(2, lastAttempt);
    while (sums.Step()) {
        AttemptSums& a = attempts_[{sums.Text(0), sums.Text(1)}];
        a.count += sums.Int(2);
        a.packets += sums.Int(3);
        a.resends += sums.Int(4);
        a.rejectedChecksum += sums.Int(5);
        a.rejectedOther += sums.Int(6);
        a.timeouts += sums.Int(7);
    }
    attemptSeen_ = lastAttempt;
    attemptMark_ = Mark(db, kAttemptMark, lastAttempt);
}

}  // namespace q31::tool::forward
