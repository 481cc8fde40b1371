// The archive: its counters and one series of one module.
#include <memory>

#include "tools/q31/cli/Commands.h"
#include "tools/q31/cli/MeterJson.h"
#include "tools/q31/cli/MeterTables.h"
#include "tools/q31/common/ArchiveSeries.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {

struct SeriesArguments {
    std::string name;
    std::uint32_t module = 1;
    std::uint32_t start = 0;  // 0: from the oldest record the ring keeps
};

void RunSeries(ToolContext& tool, const SeriesArguments& a) {
    const int series = *SeriesByName(a.name);
    tool.Identify();
    MeterReader& reader = tool.Reader();
    ToolContext::CheckModule(a.module, reader.ModuleCount(), "series");
    // The counters number the delivered values and tell a start that is not
    // written yet, which the meter could not answer.
    const SArhiveCount counters = reader.Counters();
    const std::uint32_t counter = SeriesIsDaily(series) ? counters.DayCount : counters.HourCount;
    if (a.start >= counter)
        throw ToolError(kExitBadArgument, "series: record " + std::to_string(a.start) + " is not written yet (the " +
                                              (SeriesIsDaily(series) ? "daily" : "hourly") + " counter is " +
                                              std::to_string(counter) + ")");
    const std::vector<std::int64_t> values = reader.Series(series, a.module, a.start);
    const std::uint32_t first = FirstDeliveredRecord(counter, SeriesSlots(series), a.start);
    Table table = SeriesTable();
    AppendSeries(table, series, a.module, first, values);
    Report report{SeriesJson(series, a.module, a.start, first, values), {}, {}};
    report.human = std::string(SeriesName(series)) + " module " + std::to_string(a.module) + ": " +
                   std::to_string(values.size()) + " values";
    if (!values.empty())
        report.human += ", records " + std::to_string(first) + " to " + std::to_string(first + values.size() - 1);
    report.human += "\n";
    for (std::size_t i = 0; i < values.size(); ++i) {
        char line[80];
        std::snprintf(line, sizeof line, "%10zu  %20lld\n", first + i, static_cast<long long>(values[i]));
        report.human += line;
    }
    report.tables.push_back(std::move(table));
    tool.Emit(report);
}

}  // namespace

void RegisterArchiveCommands(CLI::App& app, ToolContext& tool) {
    app.add_subcommand("counters", "the archive counters")->callback([&tool] {
        tool.action = [&tool] {
            tool.Identify();
            const SArhiveCount c = tool.Reader().Counters();
            Report report{CountersJson(c), {CountersTable(c)}, {}};
            report.human = "first word     " + std::to_string(c.FirstWord) + "\nhour records   " +
                           std::to_string(c.HourCount) + "\nday records    " + std::to_string(c.DayCount) + "\n";
            tool.Emit(report);
        };
    });

    auto args = std::make_shared<SeriesArguments>();
    CLI::App* series = app.add_subcommand("series", "one archive series of one module");
    std::vector<std::string> names;
    for (int i = 0; i < kSeriesCount; ++i) names.emplace_back(SeriesName(i));
    series->add_option("NAME", args->name, "time, stop, t, u, m or e, with _hour or _day")
        ->required()
        ->check(CLI::IsMember(names));
    series->add_option("MODULE", args->module, "module number")->required()->check(CLI::Range(1, 6));
    series->add_option("START", args->start,
                       "first record, counted from the first ever written (default: the oldest kept)");
    series->callback([&tool, args] { tool.action = [&tool, args] { RunSeries(tool, *args); }; });
}

}  // namespace q31::tool
