// dump: everything the meter holds in one document. Identification,
// modules, current values, totals and counters; every archive series of the
// chosen modules; the device's and the chosen modules' error and edit logs.
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>

#include "support/ProcessInfo.h"
#include "tools/q31/cli/Commands.h"
#include "tools/q31/cli/MeterJson.h"
#include "tools/q31/cli/MeterTables.h"
#include "tools/q31/cli/ProgressBar.h"
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

// Counts what the dump has fetched for the progress bar. A series read is
// long; while it runs, the values of the replies accepted so far count.
class DumpProgress {
public:
    DumpProgress(ToolContext& tool, std::uint64_t planned)
        : tool_(tool), bar_(planned, StderrIsTerminal() && !tool.options.trace) {
        tool_.trace.OnEvent = [this](const TQ31TraceEvent& e) {
            // Reply framing: address, length, command before the data;
            // master address and two checksum bytes after it.
            constexpr int kFraming = 6;
            if (e.kind != Q31_TRACE_ACCEPTED || valueSize_ == 0 || e.length <= kFraming) return;
            partial_ += static_cast<std::uint64_t>(e.length - kFraming) / valueSize_;
            bar_.Update(done_ + (partial_ < expected_ ? partial_ : expected_));
        };
    }
    ~DumpProgress() { tool_.trace.OnEvent = nullptr; }

    // A series read of `expected` values of `valueSize` bytes starts.
    void Expect(std::uint64_t expected, std::uint32_t valueSize) {
        expected_ = expected;
        valueSize_ = valueSize;
        partial_ = 0;
    }
    void Done(std::uint64_t values) {
        done_ += values;
        valueSize_ = 0;
        bar_.Update(done_);
    }
    void Finish() { bar_.Finish(); }

private:
    ToolContext& tool_;
    ProgressBar bar_;
    std::uint64_t done_ = 0;
    std::uint64_t partial_ = 0;
    std::uint64_t expected_ = 0;
    std::uint32_t valueSize_ = 0;
};

void WriteFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) throw ToolError(kExitFailure, "cannot write " + path.string());
}

void RunDump(ToolContext& tool, const DumpArguments& a) {
    const OutputFormat format = tool.options.format;
    if (format == OutputFormat::Csv && a.out.empty())
        throw ToolError(kExitBadArgument, "dump --format csv writes one file per table: give --out DIR");

    MeterReader& reader = tool.Reader();
    const SDevIdent ident = tool.Identify();
    const std::uint32_t moduleCount = reader.ModuleCount();
    std::vector<std::pair<std::uint32_t, SModuleRecord>> moduleRecords;
    for (std::uint32_t m = 1; m <= moduleCount && m <= 6; ++m) moduleRecords.emplace_back(m, reader.ModuleRecord(m));
    std::vector<std::uint32_t> chosen = a.modules;
    for (std::uint32_t module : chosen) ToolContext::CheckModule(module, moduleCount, "dump");
    if (chosen.empty())
        for (const auto& entry : moduleRecords) chosen.push_back(entry.first);
    const SCurrentData current = reader.Current();
    const SAccumulatedData totals = reader.Totals();
    const SArhiveCount counters = reader.Counters();

    // The plan, so the bar knows the whole from the start.
    auto counterOf = [&](int series) { return SeriesIsDaily(series) ? counters.DayCount : counters.HourCount; };
    auto startOf = [&](int series) {
        return SeriesIsDaily(series) && a.fromDay >= 0 ? static_cast<std::uint32_t>(a.fromDay) : a.from;
    };
    std::uint64_t planned = 0;
    for (int s = 0; s < kSeriesCount; ++s)
        planned += (IsTimeSeries(s) ? 1 : chosen.size()) * DeliveredCount(counterOf(s), SeriesSlots(s), startOf(s));
    planned += kDeviceHeadWords + kDeviceErrorBlocks * kRecordsPerBlock;
    planned += chosen.size() * (kModuleHeadWords + kModuleErrorBlocks * kRecordsPerBlock + 1 + kRecordsPerBlock);
    DumpProgress progress(tool, planned);

    Json seriesJson = Json::array();
    Table seriesTable = SeriesTable();
    // The hourly and the daily time series as the first module's read
    // brought them.
    std::optional<std::vector<std::int64_t>> times[2];
    for (std::uint32_t module : chosen) {
        for (int s = 0; s < kSeriesCount; ++s) {
            const std::uint32_t counter = counterOf(s);
            const std::uint32_t start = startOf(s);
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

    Table errorHeads = ErrorHeadsTable(), errorRecords = ErrorRecordsTable();
    Table editHeads = EditHeadsTable(), editRecords = EditRecordsTable();
    Json logs;
    const auto deviceHead = reader.ErrorHeadDevice();
    progress.Done(kDeviceHeadWords);
    AppendErrorHead(errorHeads, 0, deviceHead);
    logs["error_head_device"] = WordsJson(deviceHead);
    logs["error_blocks_device"] = Json::array();
    for (std::uint32_t b = 1; b <= kDeviceErrorBlocks; ++b) {
        const LogBlock block = reader.ErrorBlockDevice(b);
        progress.Done(kRecordsPerBlock);
        AppendErrorRecords(errorRecords, 0, b, block);
        logs["error_blocks_device"].push_back(Json{{"block", b}, {"records", RecordsJson(block)}});
    }
    logs["modules"] = Json::array();
    for (std::uint32_t module : chosen) {
        Json m;
        m["module"] = module;
        const auto head = reader.ErrorHeadModule(module);
        progress.Done(kModuleHeadWords);
        AppendErrorHead(errorHeads, module, head);
        m["error_head"] = WordsJson(head);
        m["error_blocks"] = Json::array();
        for (std::uint32_t b = 1; b <= kModuleErrorBlocks; ++b) {
            const LogBlock block = reader.ErrorBlockModule(module, b);
            progress.Done(kRecordsPerBlock);
            AppendErrorRecords(errorRecords, module, b, block);
            m["error_blocks"].push_back(Json{{"block", b}, {"records", RecordsJson(block)}});
        }
        const std::uint16_t editHead = reader.EditHeadModule(module);
        progress.Done(1);
        AppendEditHead(editHeads, module, editHead);
        m["edit_head"] = editHead;
        const LogBlock edits = reader.EditBlockModule(module);
        progress.Done(kRecordsPerBlock);
        AppendEditRecords(editRecords, module, edits);
        m["edit_records"] = RecordsJson(edits);
        logs["modules"].push_back(m);
    }
    progress.Finish();

    Report report;
    report.json["identification"] = IdentJson(ident);
    Json modules = Json::array();
    for (const auto& [n, record] : moduleRecords) modules.push_back(ModuleJson(n, record));
    report.json["modules"] = Json{{"module_count", moduleCount}, {"modules", modules}};
    report.json["current"] = CurrentJson(current);
    report.json["totals"] = TotalsJson(totals);
    report.json["counters"] = CountersJson(counters);
    report.json["series"] = seriesJson;
    report.json["logs"] = logs;
    report.tables = {IdentTable(ident),       ModulesTable(moduleCount, moduleRecords),
                     CurrentTable(current),   TotalsTable(totals),
                     CountersTable(counters), std::move(seriesTable),
                     std::move(errorHeads),   std::move(errorRecords),
                     std::move(editHeads),    std::move(editRecords)};

    if (a.out.empty()) {
        // The dump is a document: the human form is the JSON too.
        WriteReport(report, format == OutputFormat::Csv ? format : OutputFormat::Json, stdout);
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(a.out, error);
    if (error) throw ToolError(kExitFailure, "cannot create " + a.out + ": " + error.message());
    const std::filesystem::path dir(a.out);
    if (format == OutputFormat::Csv) {
        for (const Table& t : report.tables) WriteFile(dir / (t.name + ".csv"), CsvText(t));
    } else {
        WriteFile(dir / "dump.json", report.json.dump(2) + "\n");
    }
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
