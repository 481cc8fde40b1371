// dump: everything the meter holds in one document. Identification,
// modules, current values, totals and counters; every archive series of the
// chosen modules; the device's and the chosen modules' error and edit logs.
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>

#include "tools/q31/cli/Commands.h"
#include "tools/q31/cli/DumpProgress.h"
#include "tools/q31/cli/MeterJson.h"
#include "tools/q31/cli/MeterTables.h"
#include "tools/q31/cli/ReportWriter.h"
#include "tools/q31/common/ArchiveSeries.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {

constexpr std::uint32_t kDeviceErrorBlocks = 8;
constexpr std::uint32_t kModuleErrorBlocks = 5;
constexpr std::uint32_t kRecordsPerBlock = 16;
constexpr std::uint32_t kDeviceHeadWords = 8;
constexpr std::uint32_t kModuleHeadWords = 6;

// A record's time is one value for the whole meter: every module's time
// series reads the same words, so the dump reads it once and gives each
// module that copy.
bool IsTimeSeries(int series) { return series % 6 == 0; }

struct DumpArguments {
    std::vector<std::uint32_t> modules;  // empty: every module the meter has
    std::uint32_t from = 0;              // hourly and daily, unless fromDay is given
    std::int64_t fromDay = -1;
    std::string out;
};

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw ToolError(kExitFailure, "cannot write " + path.string());
}

// What the dump reads before the archive: all of it small.
struct MeterFront {
    SDevIdent ident{};
    std::uint32_t moduleCount = 0;
    std::vector<std::pair<std::uint32_t, SModuleRecord>> moduleRecords;
    std::vector<std::uint32_t> chosen;  // the modules whose archive and logs are read
    SCurrentData current{};
    SAccumulatedData totals{};
    SArhiveCount counters{};

    std::uint32_t CounterOf(int series) const { return SeriesIsDaily(series) ? counters.DayCount : counters.HourCount; }
};

struct DumpLogs {
    Table errorHeads = ErrorHeadsTable();
    Table errorRecords = ErrorRecordsTable();
    Table editHeads = EditHeadsTable();
    Table editRecords = EditRecordsTable();
    Json json;
};

std::uint32_t StartOf(const DumpArguments& a, int series) {
    return SeriesIsDaily(series) && a.fromDay >= 0 ? static_cast<std::uint32_t>(a.fromDay) : a.from;
}

MeterFront ReadFront(ToolContext& tool, const DumpArguments& a) {
    MeterReader& reader = tool.Reader();
    MeterFront f;
    f.ident = tool.Identify();
    f.moduleCount = reader.ModuleCount();
    for (std::uint32_t m = 1; m <= f.moduleCount && m <= 6; ++m)
        f.moduleRecords.emplace_back(m, reader.ModuleRecord(m));
    f.chosen = a.modules;
    for (std::uint32_t module : f.chosen) ToolContext::CheckModule(module, f.moduleCount, "dump");
    if (f.chosen.empty())
        for (const auto& entry : f.moduleRecords) f.chosen.push_back(entry.first);
    f.current = reader.Current();
    f.totals = reader.Totals();
    f.counters = reader.Counters();
    return f;
}

// The plan, so the bar knows the whole from the start.
std::uint64_t PlannedValues(const MeterFront& f, const DumpArguments& a) {
    std::uint64_t planned = 0;
    for (int s = 0; s < kSeriesCount; ++s)
        planned +=
            (IsTimeSeries(s) ? 1 : f.chosen.size()) * DeliveredCount(f.CounterOf(s), SeriesSlots(s), StartOf(a, s));
    planned += kDeviceHeadWords + kDeviceErrorBlocks * kRecordsPerBlock;
    planned += f.chosen.size() * (kModuleHeadWords + kModuleErrorBlocks * kRecordsPerBlock + 1 + kRecordsPerBlock);
    return planned;
}

void ReadSeries(MeterReader& reader, const MeterFront& f, const DumpArguments& a, DumpProgress& progress,
                Json& seriesJson, Table& seriesTable) {
    // The hourly and the daily time series as the first module's read
    // brought them.
    std::optional<std::vector<std::int64_t>> times[2];
    for (std::uint32_t module : f.chosen) {
        for (int s = 0; s < kSeriesCount; ++s) {
            const std::uint32_t counter = f.CounterOf(s);
            const std::uint32_t start = StartOf(a, s);
            const std::uint32_t expected = DeliveredCount(counter, SeriesSlots(s), start);
            std::optional<std::vector<std::int64_t>>* time = IsTimeSeries(s) ? &times[SeriesIsDaily(s)] : nullptr;
            std::vector<std::int64_t> values;
            if (time && *time) {
                values = **time;
            } else {
                // A start not yet written has nothing to read; the meter would not answer it.
                if (expected > 0) {
                    progress.Expect(expected, SeriesIsWide(s) ? 8 : 4);
                    values = reader.Series(s, module, start);
                }
                progress.Done(expected);
                if (time) *time = values;
            }
            const std::uint32_t first = FirstDeliveredRecord(counter, SeriesSlots(s), start);
            seriesJson.push_back(SeriesJson(s, module, start, first, values));
            AppendSeries(seriesTable, s, module, first, values);
        }
    }
}

Json ReadModuleLogs(MeterReader& reader, std::uint32_t module, DumpProgress& progress, DumpLogs& logs) {
    Json m;
    m["module"] = module;
    const auto head = reader.ErrorHeadModule(module);
    progress.Done(kModuleHeadWords);
    AppendErrorHead(logs.errorHeads, module, head);
    m["error_head"] = WordsJson(head);
    m["error_blocks"] = Json::array();
    for (std::uint32_t b = 1; b <= kModuleErrorBlocks; ++b) {
        const LogBlock block = reader.ErrorBlockModule(module, b);
        progress.Done(kRecordsPerBlock);
        AppendErrorRecords(logs.errorRecords, module, b, block);
        m["error_blocks"].push_back(Json{{"block", b}, {"records", RecordsJson(block)}});
    }
    const std::uint16_t editHead = reader.EditHeadModule(module);
    progress.Done(1);
    AppendEditHead(logs.editHeads, module, editHead);
    m["edit_head"] = editHead;
    const LogBlock edits = reader.EditBlockModule(module);
    progress.Done(kRecordsPerBlock);
    AppendEditRecords(logs.editRecords, module, edits);
    m["edit_records"] = RecordsJson(edits);
    return m;
}

DumpLogs ReadLogs(MeterReader& reader, const std::vector<std::uint32_t>& chosen, DumpProgress& progress) {
    DumpLogs logs;
    const auto deviceHead = reader.ErrorHeadDevice();
    progress.Done(kDeviceHeadWords);
    AppendErrorHead(logs.errorHeads, 0, deviceHead);
    logs.json["error_head_device"] = WordsJson(deviceHead);
    logs.json["error_blocks_device"] = Json::array();
    for (std::uint32_t b = 1; b <= kDeviceErrorBlocks; ++b) {
        const LogBlock block = reader.ErrorBlockDevice(b);
        progress.Done(kRecordsPerBlock);
        AppendErrorRecords(logs.errorRecords, 0, b, block);
        logs.json["error_blocks_device"].push_back(Json{{"block", b}, {"records", RecordsJson(block)}});
    }
    logs.json["modules"] = Json::array();
    for (std::uint32_t module : chosen) logs.json["modules"].push_back(ReadModuleLogs(reader, module, progress, logs));
    return logs;
}

Report BuildReport(const MeterFront& f, Json seriesJson, Table seriesTable, DumpLogs logs) {
    Report report;
    report.json["identification"] = IdentJson(f.ident);
    Json modules = Json::array();
    for (const auto& [n, record] : f.moduleRecords) modules.push_back(ModuleJson(n, record));
    report.json["modules"] = Json{{"module_count", f.moduleCount}, {"modules", modules}};
    report.json["current"] = CurrentJson(f.current);
    report.json["totals"] = TotalsJson(f.totals);
    report.json["counters"] = CountersJson(f.counters);
    report.json["series"] = std::move(seriesJson);
    report.json["logs"] = std::move(logs.json);
    report.tables = {IdentTable(f.ident),        ModulesTable(f.moduleCount, f.moduleRecords),
                     CurrentTable(f.current),    TotalsTable(f.totals),
                     CountersTable(f.counters),  std::move(seriesTable),
                     std::move(logs.errorHeads), std::move(logs.errorRecords),
                     std::move(logs.editHeads),  std::move(logs.editRecords)};
    return report;
}

void WriteDump(const Report& report, OutputFormat format, const std::string& out) {
    if (out.empty()) {
        // The dump is a document: the human form is the JSON too.
        WriteReport(report, format == OutputFormat::Csv ? format : OutputFormat::Json, stdout);
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(out, error);
    if (error) throw ToolError(kExitFailure, "cannot create " + out + ": " + error.message());
    const std::filesystem::path dir(out);
    if (format == OutputFormat::Csv) {
        for (const Table& t : report.tables) WriteFile(dir / (t.name + ".csv"), CsvText(t));
    } else {
        WriteFile(dir / "dump.json", report.json.dump(2) + "\n");
    }
}

void RunDump(ToolContext& tool, const DumpArguments& a) {
    const OutputFormat format = tool.options.format;
    if (format == OutputFormat::Csv && a.out.empty())
        throw ToolError(kExitBadArgument, "dump --format csv writes one file per table: give --out DIR");
    const MeterFront front = ReadFront(tool, a);
    DumpProgress progress(tool, PlannedValues(front, a));
    Json seriesJson = Json::array();
    Table seriesTable = SeriesTable();
    ReadSeries(tool.Reader(), front, a, progress, seriesJson, seriesTable);
    DumpLogs logs = ReadLogs(tool.Reader(), front.chosen, progress);
    progress.Finish();
    WriteDump(BuildReport(front, std::move(seriesJson), std::move(seriesTable), std::move(logs)), format, a.out);
}

}  // namespace

void RegisterDumpCommand(CLI::App& app, ToolContext& tool) {
    auto args = std::make_shared<DumpArguments>();
    CLI::App* dump = app.add_subcommand("dump", "everything the meter holds, as one JSON document (or CSV files)");
    dump->add_option("--modules", args->modules, "modules whose archive and logs to read, e.g. 1,3 (default: all)")
        ->delimiter(',')
        ->check(CLI::Range(1, 6));
    dump->add_option("--from", args->from,
                     "first archive record, counted from the first ever written (default: the oldest kept)");
    dump->add_option("--from-day", args->fromDay, "first daily record, when it differs from --from")
        ->check(CLI::Range(0LL, 4294967295LL));
    dump->add_option("--out", args->out, "directory for the files: dump.json, or one CSV file per table");
    dump->callback([&tool, args] {
        // Each module once, in order.
        const std::set<std::uint32_t> unique(args->modules.begin(), args->modules.end());
        args->modules.assign(unique.begin(), unique.end());
        tool.action = [&tool, args] { RunDump(tool, *args); };
    });
}

}  // namespace q31::tool
