// Reads the collector's journal back: the entries after a sink's position,
// each with the rows its batch stored, on a connection of its own (the
// database is in WAL mode, so reading never blocks the collector). Also
// keeps each sink's position in the same database.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/q31/forward/JournalBatch.h"

struct sqlite3;

namespace q31::tool::forward {

class JournalReader {
public:
    // Opens `path` (which the collector made). Throws std::runtime_error.
    explicit JournalReader(const std::string& path);
    ~JournalReader();
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

    std::int64_t Position(const std::string& sink);
    void SetPosition(const std::string& sink, std::int64_t seq);

private:
    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace q31::tool::forward
