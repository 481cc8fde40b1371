// The PostgreSQL sink's shipments: a group of batches in one transaction,
// and the rows each kind of batch writes.
#include <algorithm>

#include "tools/q31/forward/PostgresResult.h"
#include "tools/q31/forward/PostgresSink.h"

namespace q31::tool::forward {

namespace {

// Errors of a row's own making: a value the server cannot take (text that is
// not UTF-8 or holds a NUL, JSON it refuses, a number out of range), a
// constraint, a limit of the server's (an index entry too large). Anything
// else (permissions, locks, time-outs, a full disk, a connection) is the
// server's state, which changes: tried again later.
bool RowError(const std::string& state) {
    return state.size() == 5 &&
           (state.compare(0, 2, "22") == 0 || state.compare(0, 2, "23") == 0 || state.compare(0, 2, "54") == 0);
}

bool SameSeries(const JournalBatch& a, const JournalBatch& b) {
    return a.meter == b.meter && a.serial == b.serial && a.epoch == b.epoch && a.archive.module == b.archive.module &&
           a.archive.series == b.archive.series;
}

bool Overlap(const JournalBatch& a, const JournalBatch& b) {
    const std::int64_t aLast = std::int64_t{a.archive.first} + static_cast<std::int64_t>(a.archive.values.size());
    const std::int64_t bLast = std::int64_t{b.archive.first} + static_cast<std::int64_t>(b.archive.values.size());
    return SameSeries(a, b) && a.archive.first < bLast && b.archive.first < aLast;
}

}  // namespace

std::vector<Rejection> PostgresSink::Ship(const std::vector<JournalBatch>& batches) {
    if (batches.empty()) return {};
    if (aborted_) throw SinkError("postgres: stopped");
    if (!conn_) throw SinkError("postgres: not connected");
    try {
        ShipGroup(batches);
        return {};
    } catch (const SinkError&) {
        // A row the server refuses fails the whole group: the group goes
        // again, each batch on its own, and those refused are set aside.
        if (!RowError(lastState_) || !conn_ || aborted_) throw;
    }
    return ShipOneByOne(batches);
}

void PostgresSink::ShipGroup(const std::vector<JournalBatch>& batches) {
    Exec("BEGIN");
    // Archive values are nearly all of the rows, and nearly always new: those
    // of a batch none of whose records is stored yet go in by COPY, at the
    // pace of a bulk load. A batch shipped again, or one that overlaps
    // another of the group, goes row by row past what is there.
    fresh_.clear();
    for (const JournalBatch& b : batches) {
        if (b.kind != JournalBatch::Kind::Archive || b.archive.values.empty()) continue;
        bool overlaps = false;
        for (const JournalBatch* f : fresh_) overlaps = overlaps || Overlap(*f, b);
        if (!overlaps && !Stored(b)) fresh_.push_back(&b);
    }
    if (!fresh_.empty()) CopyArchive(fresh_);
    std::size_t copied = 0;
    for (const JournalBatch& b : batches) {
        if (copied < fresh_.size() && fresh_[copied] == &b) {
            ++copied;
            ShipGap(b);
        } else {
            ShipBatch(b);
        }
    }
    ShipPosition(batches);
    Exec("COMMIT");
}

std::vector<Rejection> PostgresSink::ShipOneByOne(const std::vector<JournalBatch>& batches) {
    std::vector<Rejection> rejected;
    Exec("BEGIN");
    careful_ = true;
    try {
        for (const JournalBatch& b : batches) {
            Exec("SAVEPOINT batch");
            try {
                ShipBatch(b);
                Exec("RELEASE SAVEPOINT batch");
            } catch (const SinkError&) {
                if (!RowError(lastState_) || !conn_ || PQstatus(conn_) != CONNECTION_OK || aborted_) throw;
                const std::string why = "postgres: refused " + std::string(KindName(b.kind)) + " of meter " + b.meter +
                                        ": " + lastPrimary_ + " [" + lastState_ + "]";
                Exec("ROLLBACK TO SAVEPOINT batch");
                // Set aside where an operator finds it; the rows stay in the
                // gateway's database.
                params_.Clear();
                params_.Text(gateway_).Text(generation_).Int8(b.seq).Text(KindName(b.kind)).Text(b.meter);
                params_.Text(lastPrimary_ + " [" + lastState_ + "]");
                Run("rejected");
                rejected.push_back({b.seq, why});
            }
        }
        ShipPosition(batches);
        careful_ = false;
        Exec("COMMIT");
    } catch (...) {
        if (careful_) {
            careful_ = false;
            if (conn_ && PQstatus(conn_) == CONNECTION_OK && PQtransactionStatus(conn_) != PQTRANS_IDLE)
                PostgresResult(PQexec(conn_, "ROLLBACK"));
        }
        throw;
    }
    return rejected;
}

void PostgresSink::ShipBatch(const JournalBatch& b) {
    switch (b.kind) {
        case JournalBatch::Kind::Archive: ShipArchive(b); break;
        case JournalBatch::Kind::Snapshot: ShipSnapshot(b); break;
        case JournalBatch::Kind::Log: ShipLog(b); break;
        case JournalBatch::Kind::Attempt: ShipAttempt(b); break;
        case JournalBatch::Kind::Event: ShipEvent(b); break;
    }
}

void PostgresSink::ShipPosition(const std::vector<JournalBatch>& batches) {
    std::int64_t last = 0;
    for (const JournalBatch& b : batches) last = std::max(last, b.seq);
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(Name()).Int8(last);
    Run("position");
}

bool PostgresSink::Stored(const JournalBatch& b) {
    const ArchiveRows& a = b.archive;
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Int4(a.module);
    params_.Text(a.series).Int8(a.first);
    params_.Int8(std::int64_t{a.first} + static_cast<std::int64_t>(a.values.size()) - 1);
    return Run("stored") > 0;
}

namespace {

void PutField(std::string& out, const std::string& text) {
    PutInt32(out, static_cast<std::int32_t>(text.size()));
    out += text;
}

void PutField(std::string& out, std::int64_t v) {
    PutInt32(out, 8);
    PutInt64(out, v);
}

// Microseconds since 2000-01-01 00:00 UTC, as timestamptz travels.
constexpr std::int64_t kPgEpochUnix = 946684800;

// A record's time and quantity, as four fields of a COPY row.
void PutStamp(std::string& out, const RecordStamp& s) {
    if (s.closedAt) {
        PutField(out, (*s.closedAt - kPgEpochUnix) * 1000000);
    } else {
        PutNull(out);
    }
    PutInt32(out, 1);
    out += s.estimated ? '\1' : '\0';
    if (s.quantity) {
        PutInt32(out, 8);
        PutFloat64(out, *s.quantity);
        PutField(out, s.unit);
    } else {
        PutNull(out);
        PutNull(out);
    }
}

// A value's stamp; a batch made without them (by hand) stands as raw and untimed.
const RecordStamp& StampOf(const ArchiveRows& a, std::size_t i) {
    static const RecordStamp kNone;
    return i < a.stamps.size() ? a.stamps[i] : kNone;
}

// The stamps of a batch as the archive statement's four arrays.
void PutStampArrays(PostgresParams& params, const ArchiveRows& a) {
    const std::size_t n = a.values.size();
    std::string& closedAt = params.Raw();
    PutArrayHeader(closedAt, kPgInt8, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (const auto t = StampOf(a, i).closedAt) {
            PutInt32(closedAt, 8);
            PutInt64(closedAt, *t);
        } else {
            PutNull(closedAt);
        }
    }
    std::string& estimated = params.Raw();
    PutArrayHeader(estimated, kPgInt4, n);
    for (std::size_t i = 0; i < n; ++i) {
        PutInt32(estimated, 4);
        PutInt32(estimated, StampOf(a, i).estimated ? 1 : 0);
    }
    std::string& quantity = params.Raw();
    PutArrayHeader(quantity, kPgFloat8, n);
    for (std::size_t i = 0; i < n; ++i) {
        if (const auto q = StampOf(a, i).quantity) {
            PutInt32(quantity, 8);
            PutFloat64(quantity, *q);
        } else {
            PutNull(quantity);
        }
    }
    std::string& unit = params.Raw();
    PutArrayHeader(unit, kPgText, n);
    for (std::size_t i = 0; i < n; ++i) {
        const RecordStamp& stamp = StampOf(a, i);
        if (stamp.quantity) {
            PutField(unit, stamp.unit);
        } else {
            PutNull(unit);
        }
    }
}

}  // namespace

void PostgresSink::CopyArchive(const std::vector<const JournalBatch*>& fresh) {
    PostgresResult start(
        PQexec(conn_,
               "COPY archive_values(gateway, generation, meter, serial, epoch, module, series, record, value, "
               "closed_at, closed_at_estimated, quantity, unit) FROM STDIN (FORMAT binary)"));
    if (PQresultStatus(start.get()) != PGRES_COPY_IN) Fail("cannot start COPY into archive_values", start.get());
    copy_.assign("PGCOPY\n\377\r\n\0", 11);
    PutInt32(copy_, 0);  // flags
    PutInt32(copy_, 0);  // no header extension
    for (const JournalBatch* b : fresh) {
        const ArchiveRows& a = b->archive;
        for (std::size_t i = 0; i < a.values.size(); ++i) {
            copy_ += '\0';
            copy_ += '\x0d';  // fields per row
            PutField(copy_, gateway_);
            PutField(copy_, generation_);
            PutField(copy_, b->meter);
            PutField(copy_, std::int64_t{b->serial});
            PutField(copy_, b->epoch);
            PutInt32(copy_, 4);
            PutInt32(copy_, a.module);
            PutField(copy_, a.series);
            PutField(copy_, std::int64_t{a.first} + static_cast<std::int64_t>(i));
            PutField(copy_, a.values[i]);
            PutStamp(copy_, StampOf(a, i));
        }
    }
    copy_ += "\xff\xff";  // the end of the rows
    if (PQputCopyData(conn_, copy_.data(), static_cast<int>(copy_.size())) != 1 || PQputCopyEnd(conn_, nullptr) != 1) {
        Fail("COPY into archive_values failed");
    }
    PostgresResult end(PQgetResult(conn_));
    const bool ok = PQresultStatus(end.get()) == PGRES_COMMAND_OK;
    while (PostgresResult more{PQgetResult(conn_)}) {
    }
    if (!ok) Fail("COPY into archive_values failed", end.get());
}

void PostgresSink::ShipArchive(const JournalBatch& b) {
    const ArchiveRows& a = b.archive;
    if (!a.values.empty()) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Int4(a.module);
        params_.Text(a.series).Int8(a.first);
        std::string& array = params_.Raw();
        array.reserve(20 + 12 * a.values.size());
        PutArrayHeader(array, kPgInt8, a.values.size());
        for (std::int64_t v : a.values) {
            PutInt32(array, 8);
            PutInt64(array, v);
        }
        PutStampArrays(params_, a);
        Run("archive");
    }
    ShipGap(b);
}

void PostgresSink::ShipGap(const JournalBatch& b) {
    const ArchiveRows& a = b.archive;
    if (a.gap) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Int4(a.module);
        params_.Text(a.series).Int8(a.gap->first).Int8(a.gap->second).Int8(b.committedAt);
        Run("gap");
    }
}

void PostgresSink::ShipSnapshot(const JournalBatch& b) {
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Text(b.snapshot.kind);
    params_.Int8(b.snapshot.takenAt).Text(b.snapshot.json);
    Run("snapshot");
}

void PostgresSink::ShipLog(const JournalBatch& b) {
    const LogRows& l = b.log;
    if (!l.records.empty()) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Text(l.log);
        params_.Int4(l.module);
        std::string& blocks = params_.Raw();
        PutArrayHeader(blocks, kPgInt4, l.records.size());
        for (const LogRow& r : l.records) {
            PutInt32(blocks, 4);
            PutInt32(blocks, r.block);
        }
        std::string& positions = params_.Raw();
        PutArrayHeader(positions, kPgInt4, l.records.size());
        for (const LogRow& r : l.records) {
            PutInt32(positions, 4);
            PutInt32(positions, r.position);
        }
        std::string& data = params_.Raw();
        PutArrayHeader(data, kPgBytea, l.records.size());
        for (const LogRow& r : l.records) {
            PutInt32(data, static_cast<std::int32_t>(r.data.size()));
            data.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
        }
        params_.Int8(b.committedAt);
        Run("log");
    }
    if (l.block == 0) {
        params_.Clear();
        params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(b.serial).Int8(b.epoch).Text(l.log);
        params_.Int4(l.module);
        std::string& words = params_.Raw();
        PutArrayHeader(words, kPgInt4, l.head.size());
        for (std::uint16_t w : l.head) {
            PutInt32(words, 4);
            PutInt32(words, w);
        }
        params_.Int8(b.committedAt).Int8(b.seq);
        Run("head");
    }
}

void PostgresSink::ShipAttempt(const JournalBatch& b) {
    const AttemptRow& a = b.attempt;
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Int8(a.id).Text(b.meter).Int8(a.serialExpected);
    if (a.serialFound) {
        params_.Int8(*a.serialFound);
    } else {
        params_.Null();
    }
    params_.Int8(a.startedAt).Int8(a.endedAt).Text(a.outcome).Text(a.message).Int4(a.packets).Int4(a.resends);
    Run("attempt");
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Text(b.meter).Int8(a.serialExpected);
    if (a.serialFound) {
        params_.Int8(*a.serialFound);
    } else {
        params_.Null();
    }
    params_.Int8(a.id).Int8(a.endedAt).Text(a.outcome).Int4(a.failuresInRow);
    Run("meter");
}

void PostgresSink::ShipEvent(const JournalBatch& b) {
    const EventRow& e = b.event;
    params_.Clear();
    params_.Text(gateway_).Text(generation_).Int8(e.id).Text(b.meter).Int8(b.serial).Int8(b.epoch).Text(e.kind);
    params_.Text(e.detail).Int8(e.at);
    Run("event");
}

}  // namespace q31::tool::forward
