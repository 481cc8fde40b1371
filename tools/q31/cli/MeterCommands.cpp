// Identification, modules, current values and totals.
#include <cstdio>
#include <memory>

#include "tools/q31/cli/Commands.h"
#include "tools/q31/cli/MeterJson.h"
#include "tools/q31/cli/MeterTables.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {

std::string IdentText(const SDevIdent& d) {
    const Json j = IdentJson(d);
    char text[512];
    std::snprintf(text, sizeof text,
                  "device type    %u (0x%04X) %s\nversion word   0x%04X\nserial number  %u\nword 12        0x%04X\n",
                  d.DevType, d.DevType, j["device_type_text"].get<std::string>().c_str(), d.IdWord2, d.SerialNumber,
                  d.IdWord12);
    return text;
}

}  // namespace

void RunIdentification(ToolContext& tool) {
    const SDevIdent ident = tool.Identify();
    if (tool.options.serial >= 0 && ident.SerialNumber != static_cast<std::uint32_t>(tool.options.serial))
        throw ToolError(kExitOtherMeter, "another meter answered: expected serial number " +
                                             std::to_string(tool.options.serial) + ", found " +
                                             std::to_string(ident.SerialNumber));
    tool.Emit({IdentJson(ident), {IdentTable(ident)}, IdentText(ident)});
}

namespace {

void RunModules(ToolContext& tool, std::uint32_t only) {
    tool.Identify();
    MeterReader& reader = tool.Reader();
    std::vector<std::pair<std::uint32_t, SModuleRecord>> modules;
    const std::uint32_t count = reader.ModuleCount();
    if (only) {
        ToolContext::CheckModule(only, count, "module");
        modules.emplace_back(only, reader.ModuleRecord(only));
        tool.Emit({ModuleJson(only, modules[0].second), {ModulesTable(count, modules)}, {}});
        return;
    }
    // The plug-in serves six module records whatever count the meter claims.
    for (std::uint32_t m = 1; m <= count && m <= 6; ++m) modules.emplace_back(m, reader.ModuleRecord(m));
    Json list = Json::array();
    for (const auto& [n, record] : modules) list.push_back(ModuleJson(n, record));
    Report report{{{"module_count", count}, {"modules", list}}, {ModulesTable(count, modules)}, {}};
    report.human = "modules: " + std::to_string(count) + "\n";
    for (const auto& [n, m] : modules) {
        report.human += "module " + std::to_string(n) + ": word " + std::to_string(m.Word0) + ", bytes";
        for (std::uint8_t b : m.Bytes) report.human += " " + std::to_string(b);
        report.human += ", values";
        for (std::uint32_t v : m.Values) report.human += " " + std::to_string(v);
        report.human += "\n";
    }
    tool.Emit(report);
}

}  // namespace

void RegisterMeterCommands(CLI::App& app, ToolContext& tool) {
    app.add_subcommand("id", "identify the meter (the default command)")->callback([&tool] {
        tool.action = [&tool] { RunIdentification(tool); };
    });
    app.add_subcommand("modules", "the module count and every module's record")->callback([&tool] {
        tool.action = [&tool] { RunModules(tool, 0); };
    });
    auto module = std::make_shared<std::uint32_t>(1);
    CLI::App* one = app.add_subcommand("module", "the record of one module");
    one->add_option("MODULE", *module, "module number")->required()->check(CLI::Range(1, 6));
    one->callback([&tool, module] { tool.action = [&tool, module] { RunModules(tool, *module); }; });
    app.add_subcommand("current", "the current values (the last measurement)")->callback([&tool] {
        tool.action = [&tool] {
            tool.Identify();
            const SCurrentData data = tool.Reader().Current();
            tool.Emit({CurrentJson(data), {CurrentTable(data)}, {}});
        };
    });
    app.add_subcommand("totals", "the accumulated totals")->callback([&tool] {
        tool.action = [&tool] {
            tool.Identify();
            const SAccumulatedData data = tool.Reader().Totals();
            tool.Emit({TotalsJson(data), {TotalsTable(data)}, {}});
        };
    });
}

}  // namespace q31::tool
