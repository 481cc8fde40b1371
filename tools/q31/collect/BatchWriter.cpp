#include "tools/q31/collect/BatchWriter.h"

#include "tools/q31/common/HexText.h"

namespace q31::tool::collect {

void BatchWriter::Snapshot(std::uint32_t serial, const std::string& kind, std::int64_t takenAt,
                           std::int64_t passStarted, std::int64_t run, const nlohmann::ordered_json& data) {
    store_.StoreSnapshot(meter_, serial, kind, takenAt, passStarted, run, data.dump());
    ++stored_.snapshots;
    nlohmann::ordered_json line{{"meter", meter_}, {"kind", kind}, {"taken_at", takenAt}};
    for (const auto& [k, v] : data.items()) line[k] = v;
    out_.Batch(line);
}

int BatchWriter::Series(const MeterKey& key, const std::string& series, int module, std::uint32_t first,
                        const std::vector<std::int64_t>& values, const std::optional<RecordGap>& gap, std::int64_t run,
                        const ArchiveStamp& stamp) {
    const int added = store_.StoreSeries(key, module, series, first, values, gap, run, stamp);
    stored_.records += added;
    nlohmann::ordered_json line{
        {"meter", meter_},
        {"serial", key.serial},
        {"kind", "archive"},
        {"series", series},
        {"module", module},
        {"first", first},
        {"last", static_cast<std::int64_t>(first) + static_cast<std::int64_t>(values.size()) - 1},
        {"count", values.size()},
        {"stored", added},
        {"values", values}};
    if (gap) {
        ++stored_.gaps;
        line["gap"] = {{"first", gap->first}, {"last", gap->last}};
        out_.Warn(meter_ + ": " + series + " module " + std::to_string(module) + ": records " +
                  std::to_string(gap->first) + ".." + std::to_string(gap->last) +
                  " were overwritten in the meter before they were read");
    }
    out_.Batch(line);
    return added;
}

void BatchWriter::LogBlock(const MeterKey& key, const std::string& log, int module, int block, std::uint32_t recordSize,
                           const std::vector<std::uint8_t>& bytes, std::int64_t run) {
    store_.StoreLogBlock(key, log, module, block, recordSize, bytes, run, &logAdded_);
}

void BatchWriter::LogHead(const MeterKey& key, const std::string& log, int module,
                          const std::vector<std::uint16_t>& head, std::int64_t run) {
    store_.StoreLogHead(key, log, module, head, run);
    stored_.logRecords += static_cast<long long>(logAdded_.size());
    nlohmann::ordered_json records = nlohmann::ordered_json::array();
    for (const LogRecord& r : logAdded_)
        records.push_back({{"block", r.block}, {"position", r.position}, {"data", HexText(r.bytes)}});
    out_.Batch({{"meter", meter_},
                {"serial", key.serial},
                {"kind", "log"},
                {"log", log},
                {"module", module},
                {"head", head},
                {"stored", logAdded_.size()},
                {"records", records}});
    logAdded_.clear();
}

void BatchWriter::Attempt(const collect::Attempt& a) {
    store_.NoteAttempt(a);
    if (a.outcome == "ok") return;
    nlohmann::ordered_json line{{"meter", a.meter},     {"serial", a.serialExpected}, {"kind", "attempt"},
                                {"outcome", a.outcome}, {"started_at", a.startedAt},  {"ended_at", a.endedAt},
                                {"message", a.message}, {"packets", a.packets},       {"resends", a.resends}};
    if (a.serialFound) line["found"] = *a.serialFound;
    out_.Batch(line);
}

}  // namespace q31::tool::collect
