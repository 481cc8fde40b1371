// Where `q31 collect` keeps what it read: one SQLite file in WAL mode.
//
// Every batch goes in with its own transaction, and how far a series has
// been read is never kept apart from the values: it is the largest record
// number stored. A process killed at any moment therefore leaves either the
// whole batch or none of it, and the next run starts right after what is
// there. The schema is described in docs/collector.md.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "publicQ31.h"
#include "tools/q31/collect/ArchiveStamp.h"
#include "tools/q31/collect/Attempt.h"
#include "tools/q31/collect/LogRecord.h"
#include "tools/q31/collect/MeterKey.h"
#include "tools/q31/collect/MeterUnit.h"
#include "tools/q31/collect/RunTotals.h"
#include "tools/q31/collect/SeriesCheck.h"
#include "tools/q31/common/SqliteDb.h"
#include "tools/q31/common/SqliteStatement.h"

namespace q31::tool::collect {

struct MeterSettings;

class CollectStore {
public:
    // The schema version this program writes (PRAGMA user_version).
    static constexpr int kSchemaVersion = 5;

    // Opens or creates `path` and brings its schema up to kSchemaVersion.
    // Throws ToolError for a file it cannot use or a newer schema.
    // `keepWaiting`: SqliteDb::OnBusy's, in force from the first statement.
    explicit CollectStore(const std::string& path, std::function<bool(long long waitedMs)> keepWaiting = {});

    SqliteDb& Db() { return db_; }
    // The newest entry of the journal (0 when empty).
    std::int64_t NewestJournalSeq();

    std::int64_t BeginRun(const std::string& mode);
    void EndRun(std::int64_t run, const RunTotals& totals, const std::string& status);
    // The status of a run that goes on ("disk full", "running").
    void NoteRunStatus(std::int64_t run, const std::string& status);
    // The run before `run`, when it has no end on record: its id and status.
    std::optional<std::pair<std::int64_t, std::string>> UnendedRunBefore(std::int64_t run);

    // The serial number last seen under `name`, if any.
    std::optional<std::uint32_t> KnownSerial(const std::string& name);
    // Puts a meter of the configuration into `meters` at its first attempt,
    // before it ever answered; a meter already there is left as it is.
    void EnsureMeter(const MeterSettings& meter, std::int64_t at);
    // A meter that answered: its identity, and when it was first and last seen.
    void NoteMeter(const MeterSettings& meter, const SDevIdent& ident, std::uint32_t moduleCount);
    // Records an attempt, and its outcome in the meter's row, in one transaction.
    void NoteAttempt(const Attempt& attempt);

    // The epoch and last counters of `serial` under `name` (made at epoch 0
    // when it is new).
    MeterUnit Unit(const std::string& name, std::uint32_t serial);
    // Records an event of a meter ("replaced", "reset") in one transaction
    // with its consequence: after a reset the serial number's epoch goes up
    // by one. Returns the epoch now in force.
    std::int64_t NoteEvent(const std::string& name, std::uint32_t serial, const std::string& kind,
                           const std::string& detail, std::int64_t run);
    void NoteCounters(const std::string& name, std::uint32_t serial, std::uint32_t hourCount, std::uint32_t dayCount);

    // The newest record stored of one series of one module.
    std::optional<std::uint32_t> LastRecord(const MeterKey& meter, int module, const std::string& series);
    // Stores `values` as records first, first + 1, ... and `gap`, in one
    // transaction, each row with its time and quantity from `stamp`. Returns
    // the rows added (rows already there are kept as first stored, time included).
    int StoreSeries(const MeterKey& meter, int module, const std::string& series, std::uint32_t first,
                    const std::vector<std::int64_t>& values, const std::optional<RecordGap>& gap, std::int64_t run,
                    const ArchiveStamp& stamp = {});
    // Puts `meters`' quantities in force in `quantities`, in place of what was there.
    void NoteQuantities(const std::vector<MeterSettings>& meters);

    // Unix seconds at which the pass began that took the newest snapshot of
    // `kind` ("current", "totals").
    std::optional<std::int64_t> LastSnapshotStart(const std::string& meter, const std::string& kind);
    // `takenAt`: when the meter sent it; `passStarted`: when its pass began;
    // `serial`: the serial number that answered (in the journal's entry).
    void StoreSnapshot(const std::string& meter, std::uint32_t serial, const std::string& kind, std::int64_t takenAt,
                       std::int64_t passStarted, std::int64_t run, const std::string& json);

    // A log head as last stored; log is "error" or "edit", module 0 the device.
    std::optional<std::vector<std::uint16_t>> LogHead(const MeterKey& meter, const std::string& log, int module);
    // The records of one block; erased ones (all 0xFF) are left out, records
    // already stored at the same place with the same bytes are kept once.
    // Returns the rows added, and appends them to `added` when given.
    int StoreLogBlock(const MeterKey& meter, const std::string& log, int module, int block, std::uint32_t recordSize,
                      const std::vector<std::uint8_t>& bytes, std::int64_t run,
                      std::vector<LogRecord>* added = nullptr);
    void StoreLogHead(const MeterKey& meter, const std::string& log, int module,
                      const std::vector<std::uint16_t>& words, std::int64_t run);

private:
    // A row of the journal, written in the transaction of its batch.
    struct JournalEntry {
        std::string kind;  // archive, snapshot, log, attempt, event
        std::string meter;
        std::uint32_t serial = 0;
        std::int64_t epoch = 0;
        int module = 0;
        std::string name;  // the series, the log, the snapshot's kind, the attempt's outcome, the event's kind
        // archive: the records' range; log: the block (0: the head); snapshot:
        // when taken; attempt: its id and the failures in a row after it;
        // event: its id.
        std::int64_t first = 0;
        std::int64_t last = 0;
        std::optional<RecordGap> gap;
    };
    void Journal(const JournalEntry& entry);
    void Migrate();

    SqliteDb db_;
};

}  // namespace q31::tool::collect
