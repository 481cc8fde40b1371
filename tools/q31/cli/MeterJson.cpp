#include "tools/q31/cli/MeterJson.h"

#include "link/DeviceTexts.h"
#include "runtime/Cp1251.h"
#include "tools/q31/common/ArchiveSeries.h"

namespace q31::tool {

namespace {

std::string DeviceTypeText(std::uint16_t devType) {
    // The meter family's texts are Windows-1251; JSON carries UTF-8.
    char out[512];
    Cp1251ToUtf8(texts::DeviceTypeText(devType), out, sizeof out);
    return out;
}

}  // namespace

Json IdentJson(const SDevIdent& d) {
    Json j;
    j["device_type"] = d.DevType;
    j["device_type_text"] = DeviceTypeText(d.DevType);
    j["version_word"] = d.IdWord2;
    j["serial_number"] = d.SerialNumber;
    j["id_word12"] = d.IdWord12;
    j["carried"] = {d.Carried[0], d.Carried[1]};
    return j;
}

Json ModuleJson(std::uint32_t module, const SModuleRecord& r) {
    Json j;
    j["module"] = module;
    j["word0"] = r.Word0;
    j["bytes"] = Json::array();
    for (std::uint8_t b : r.Bytes) j["bytes"].push_back(b);
    j["values"] = Json::array();
    for (std::uint32_t v : r.Values) j["values"].push_back(v);
    return j;
}

Json CurrentJson(const SCurrentData& data) {
    Json groups = Json::array();
    for (const auto& group : data.Groups) {
        Json g = Json::array();
        for (std::uint32_t v : group) g.push_back(v);
        groups.push_back(g);
    }
    return Json{{"groups", groups}};
}

Json TotalsJson(const SAccumulatedData& data) {
    Json values = Json::array();
    for (std::uint32_t v : data.Values) values.push_back(v);
    Json groups = Json::array();
    for (const auto& group : data.Groups) {
        Json g = Json::array();
        for (std::uint64_t v : group) g.push_back(v);
        groups.push_back(g);
    }
    Json j;
    j["values"] = values;
    j["groups"] = groups;
    return j;
}

Json CountersJson(const SArhiveCount& c) {
    Json j;
    j["first_word"] = c.FirstWord;
    j["hour_count"] = c.HourCount;
    j["day_count"] = c.DayCount;
    return j;
}

Json SeriesJson(int series, std::uint32_t module, std::uint32_t from, std::uint32_t firstRecord,
                const std::vector<std::int64_t>& values) {
    Json j;
    j["series"] = SeriesName(series);
    j["module"] = module;
    j["from"] = from;
    j["first_record"] = firstRecord;
    j["count"] = values.size();
    j["values"] = values;
    return j;
}

std::vector<unsigned> RecordFields(const std::uint8_t* record) { return {record[0], record[1], record[2], record[3]}; }

std::vector<std::uint32_t> RecordValues(const std::uint8_t* record, std::uint32_t size) {
    std::vector<std::uint32_t> values;
    for (std::uint32_t at = 4; at + 4 <= size; at += 4)
        values.push_back(static_cast<std::uint32_t>(record[at]) | static_cast<std::uint32_t>(record[at + 1]) << 8 |
                         static_cast<std::uint32_t>(record[at + 2]) << 16 |
                         static_cast<std::uint32_t>(record[at + 3]) << 24);
    return values;
}

Json RecordsJson(const LogBlock& block) {
    Json records = Json::array();
    for (std::uint32_t i = 0; i < block.Count(); ++i) {
        const std::uint8_t* r = block.bytes.data() + i * block.recordSize;
        Json j;
        j["record"] = i;
        j["fields"] = RecordFields(r);
        j["values"] = RecordValues(r, block.recordSize);
        records.push_back(j);
    }
    return records;
}

Json WordsJson(const std::vector<std::uint16_t>& words) {
    Json j = Json::array();
    for (std::uint16_t w : words) j.push_back(w);
    return j;
}

}  // namespace q31::tool
