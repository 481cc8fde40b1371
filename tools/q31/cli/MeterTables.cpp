#include "tools/q31/cli/MeterTables.h"

#include "tools/q31/cli/MeterJson.h"
#include "tools/q31/common/ArchiveSeries.h"

namespace q31::tool {

namespace {

const char* Owner(std::uint32_t module) { return module == 0 ? "device" : "module"; }
std::string ModuleCell(std::uint32_t module) { return module == 0 ? std::string() : std::to_string(module); }

void AppendRecords(Table& table, std::vector<std::string> lead, const LogBlock& block, std::size_t valueColumns) {
    for (std::uint32_t i = 0; i < block.Count(); ++i) {
        const std::uint8_t* r = block.bytes.data() + i * block.recordSize;
        std::vector<std::string> row = lead;
        row.push_back(std::to_string(i));
        for (unsigned f : RecordFields(r)) row.push_back(std::to_string(f));
        const auto values = RecordValues(r, block.recordSize);
        for (std::size_t v = 0; v < valueColumns; ++v)
            row.push_back(v < values.size() ? std::to_string(values[v]) : "");
        table.rows.push_back(std::move(row));
    }
}

}  // namespace

Table IdentTable(const SDevIdent& d) {
    const Json j = IdentJson(d);
    Table t{"identification",
            {"device_type", "device_type_text", "version_word", "serial_number", "id_word12", "carried_1", "carried_2"},
            {}};
    t.Row(d.DevType, j["device_type_text"].get<std::string>(), d.IdWord2, d.SerialNumber, d.IdWord12, d.Carried[0],
          d.Carried[1]);
    return t;
}

Table ModulesTable(std::uint32_t moduleCount, const std::vector<std::pair<std::uint32_t, SModuleRecord>>& modules) {
    Table t{"modules", {"module_count", "module", "word0"}, {}};
    for (int i = 1; i <= 6; ++i) t.header.push_back("byte_" + std::to_string(i));
    for (int i = 1; i <= 6; ++i) t.header.push_back("value_" + std::to_string(i));
    for (const auto& [number, m] : modules) {
        std::vector<std::string> row{std::to_string(moduleCount), std::to_string(number), std::to_string(m.Word0)};
        for (std::uint8_t b : m.Bytes) row.push_back(std::to_string(b));
        for (std::uint32_t v : m.Values) row.push_back(std::to_string(v));
        t.rows.push_back(std::move(row));
    }
    return t;
}

Table CurrentTable(const SCurrentData& data) {
    Table t{"current", {"group"}, {}};
    for (int i = 1; i <= 6; ++i) t.header.push_back("channel_" + std::to_string(i));
    for (int g = 0; g < 4; ++g) {
        std::vector<std::string> row{std::to_string(g + 1)};
        for (std::uint32_t v : data.Groups[g]) row.push_back(std::to_string(v));
        t.rows.push_back(std::move(row));
    }
    return t;
}

Table TotalsTable(const SAccumulatedData& data) {
    Table t{"totals", {"part"}, {}};
    for (int i = 1; i <= 6; ++i) t.header.push_back("channel_" + std::to_string(i));
    std::vector<std::string> first{"values"};
    for (std::uint32_t v : data.Values) first.push_back(std::to_string(v));
    t.rows.push_back(std::move(first));
    for (int g = 0; g < 3; ++g) {
        std::vector<std::string> row{"group_" + std::to_string(g + 1)};
        for (std::uint64_t v : data.Groups[g]) row.push_back(std::to_string(v));
        t.rows.push_back(std::move(row));
    }
    return t;
}

Table CountersTable(const SArhiveCount& c) {
    Table t{"counters", {"first_word", "hour_count", "day_count"}, {}};
    t.Row(c.FirstWord, c.HourCount, c.DayCount);
    return t;
}

Table SeriesTable() { return {"series", {"series", "module", "record", "value"}, {}}; }

void AppendSeries(Table& table, int series, std::uint32_t module, std::uint32_t firstRecord,
                  const std::vector<std::int64_t>& values) {
    for (std::size_t i = 0; i < values.size(); ++i)
        table.Row(std::string(SeriesName(series)), module, firstRecord + static_cast<std::uint32_t>(i), values[i]);
}

Table ErrorHeadsTable() { return {"error_heads", {"owner", "module", "word", "value"}, {}}; }

void AppendErrorHead(Table& table, std::uint32_t module, const std::vector<std::uint16_t>& words) {
    for (std::size_t i = 0; i < words.size(); ++i)
        table.Row(std::string(Owner(module)), ModuleCell(module), i + 1, words[i]);
}

Table ErrorRecordsTable() {
    return {"error_records",
            {"owner", "module", "block", "record", "field_1", "field_2", "field_3", "field_4", "value_1"},
            {}};
}

void AppendErrorRecords(Table& table, std::uint32_t module, std::uint32_t block, const LogBlock& records) {
    AppendRecords(table, {Owner(module), ModuleCell(module), std::to_string(block)}, records, 1);
}

Table EditHeadsTable() { return {"edit_heads", {"module", "value"}, {}}; }

void AppendEditHead(Table& table, std::uint32_t module, std::uint16_t word) { table.Row(module, word); }

Table EditRecordsTable() {
    return {"edit_records",
            {"module", "record", "field_1", "field_2", "field_3", "field_4", "value_1", "value_2", "value_3"},
            {}};
}

void AppendEditRecords(Table& table, std::uint32_t module, const LogBlock& records) {
    AppendRecords(table, {std::to_string(module)}, records, 3);
}

}  // namespace q31::tool
