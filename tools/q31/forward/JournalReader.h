// Reads the collector's journal back: the entries after a sink's position,
// each with the rows its batch stored, on a connection of its own (the
// database is in WAL mode, so reading never blocks the collector). Also
// keeps each sink's position in the same database, and the database's
// generation.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/q31/common/SqliteDb.h"
#include "tools/q31/common/SqliteStatement.h"
#include "tools/q31/forward/JournalBatch.h"

namespace q31::tool::forward {

class JournalReader {
public:
    // Opens `path` (which the collector made) and gives it a generation if
    // it has none yet. While `stop` is set, a wait for the collector's
    // write lock gives up at once. Throws ToolError (a std::runtime_error).
    explicit JournalReader(const std::string& path, const std::atomic<bool>* stop = nullptr);
    JournalReader(const JournalReader&) = delete;
    JournalReader& operator=(const JournalReader&) = delete;

    // The entries after `afterSeq`, oldest first, until about `maxRows` rows
    // (archive values, log records; any other entry counts one) are taken;
    // an entry is never split. An archive entry whose records have holes (the
    // history from before the journal) comes as several batches of one seq.
    std::vector<JournalBatch> Read(std::int64_t afterSeq, std::size_t maxRows);

    // The newest seq, and the commit time of the first one after `afterSeq`
    // (0 when none): the backlog.
    std::int64_t NewestSeq();
    std::int64_t CommittedAfter(std::int64_t afterSeq);

    // The database's generation: a random id (16 hex digits) made the first
    // time a forwarder opened the file, kept in `journal_generation`. A file
    // made anew has another, so that a sink never takes its journal for the
    // old file's.
    const std::string& Generation() const { return generation_; }

    std::int64_t Position(const std::string& sink);
    void SetPosition(const std::string& sink, std::int64_t seq);

private:
    static int OnBusy(void* self, int count);
    // The entry `entries` stands on, with its rows, appended to `out`; the
    // rows it took are added to `rows`.
    void ReadEntry(const SqliteStatement& entries, std::vector<JournalBatch>& out, std::size_t& rows);

    SqliteDb db_;
    const std::atomic<bool>* stop_ = nullptr;
    std::string generation_;
};

}  // namespace q31::tool::forward
