// One entry of the gateway's journal, as the forwarder hands it to a sink:
// a batch the collector committed to its SQLite database, with its rows.
//
// The SQLite database is the journal: every batch the collector stores adds,
// in the same transaction, one row to its `journal` table, numbered by `seq`
// in the order of the commits. A sink ships the entries in that order and
// keeps how far it got (the last `seq` shipped); a batch read again after a
// crash carries the same keys, so a sink that is sent it twice keeps it once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace q31::tool::forward {

// What the collector stored beside an archive value, once, when it stored it.
struct RecordStamp {
    // The end of the hour or day the record closed (Unix seconds UTC); unset
    // for rows stored before the collector kept it: unknown.
    std::optional<std::int64_t> closedAt;
    bool estimated = false;  // counted back further than the pass interval
    // Raw × scale in `unit`; unset (and `unit` empty): the series has no
    // quantity, and the raw value is all there is.
    std::optional<double> quantity;
    std::string unit;
};

// Archive values of one series of one module, records first..last.
struct ArchiveRows {
    std::string series;  // e.g. "e_hour"
    int module = 0;
    std::uint32_t first = 0;
    std::vector<std::int64_t> values;  // of records first, first + 1, ...
    // Records the meter overwrote before they were read, found with this batch.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> gap;
    std::vector<RecordStamp> stamps;  // one per value, in the same order
};

struct SnapshotRow {
    std::string kind;  // "current" or "totals"
    std::int64_t takenAt = 0;
    std::string json;  // as stored
};

struct LogRow {
    int block = 0;
    int position = 0;
    std::vector<std::uint8_t> data;
};

struct LogRows {
    std::string log;  // "error" or "edit"
    int module = 0;
    int block = 0;  // 0: the entry is the log's head
    std::vector<LogRow> records;
    std::vector<std::uint16_t> head;  // of a head entry
};

struct AttemptRow {
    std::int64_t id = 0;
    std::uint32_t serialExpected = 0;
    std::optional<std::uint32_t> serialFound;
    std::int64_t startedAt = 0;
    std::int64_t endedAt = 0;
    std::string outcome;
    std::string message;
    int packets = 0;
    int resends = 0;
    int failuresInRow = 0;  // the meter's, after this attempt
    // The end of the meter's last ok attempt, this one's included (the meter's
    // last_ok once this attempt is noted); unset: not known to the journal.
    std::optional<std::int64_t> lastOk;
};

struct EventRow {
    std::int64_t id = 0;
    std::string kind;  // "replaced", "reset"
    std::string detail;
    std::int64_t at = 0;
};

struct JournalBatch {
    enum class Kind { Archive, Snapshot, Log, Attempt, Event };

    std::int64_t seq = 0;
    std::int64_t committedAt = 0;  // Unix seconds
    Kind kind = Kind::Archive;
    std::string meter;
    std::uint32_t serial = 0;  // the serial number that answered (the one expected for attempts)
    std::int64_t epoch = 0;

    // The one that `kind` names is filled in.
    ArchiveRows archive;
    SnapshotRow snapshot;
    LogRows log;
    AttemptRow attempt;
    EventRow event;
};

// "archive", "snapshot", "log", "attempt", "event".
const char* KindName(JournalBatch::Kind kind);

}  // namespace q31::tool::forward
