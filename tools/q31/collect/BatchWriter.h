// What one meter's passes hand over for keeping. Each batch goes into the
// store in its own transaction and then, with --jsonl, out as one JSON line
// that carries its values; failed attempts go on record the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/q31/collect/CollectOutput.h"
#include "tools/q31/collect/CollectStore.h"

namespace q31::tool::collect {

class BatchWriter {
public:
    BatchWriter(CollectStore& store, const CollectOutput& out, std::string meter)
        : store_(store), out_(out), meter_(std::move(meter)) {}

    CollectStore& Store() { return store_; }

    // A snapshot ("current" or "totals") taken at `takenAt` from the meter
    // with the serial number `serial` by the pass that began at
    // `passStarted`; `data` is its JSON object.
    void Snapshot(std::uint32_t serial, const std::string& kind, std::int64_t takenAt, std::int64_t passStarted,
                  std::int64_t run, const nlohmann::ordered_json& data);
    // Records first, first + 1, ... of one series, with the gap found before
    // them, stamped with their times and quantity. Returns the rows added.
    int Series(const MeterKey& key, const std::string& series, int module, std::uint32_t first,
               const std::vector<std::int64_t>& values, const std::optional<RecordGap>& gap, std::int64_t run,
               const ArchiveStamp& stamp);
    // The head of a log moved: its blocks are read next.
    void LogBegin() { logAdded_.clear(); }
    // One block of a log; its new records are told with the log's head.
    void LogBlock(const MeterKey& key, const std::string& log, int module, int block, std::uint32_t recordSize,
                  const std::vector<std::uint8_t>& bytes, std::int64_t run);
    // The log's head, stored after its blocks, so that a run killed before
    // reads them again.
    void LogHead(const MeterKey& key, const std::string& log, int module, const std::vector<std::uint16_t>& head,
                 std::int64_t run);
    void Attempt(const collect::Attempt& attempt);

    // What was stored since this writer was made.
    const RunTotals& Stored() const { return stored_; }

private:
    CollectStore& store_;
    const CollectOutput& out_;
    std::string meter_;
    RunTotals stored_;
    std::vector<LogRecord> logAdded_;  // of the log whose blocks are being read
};

}  // namespace q31::tool::collect
