// service: the meter's measurement and calibration commands, through the
// plug-in's q31_service on the tool's line.
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "tools/q31/cli/Commands.h"
#include "tools/q31/cli/ServiceCommands.h"
#include "tools/q31/cli/ServiceLink.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {

const char* ReplyName(ServiceReply r) {
    switch (r) {
        case ServiceReply::Acknowledgement: return "acknowledgement";
        case ServiceReply::Data: return "data";
        case ServiceReply::ADCValues: return "adc_values";
    }
    return "?";
}

// The sixteen ADC values, low byte first as the meter sends them.
std::vector<std::uint32_t> AdcValues(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint32_t> values;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4)
        values.push_back(static_cast<std::uint32_t>(bytes[i]) | static_cast<std::uint32_t>(bytes[i + 1]) << 8 |
                         static_cast<std::uint32_t>(bytes[i + 2]) << 16 |
                         static_cast<std::uint32_t>(bytes[i + 3]) << 24);
    return values;
}

// Sixteen bytes a line, each line headed by the address of its first byte.
std::string HexLines(const std::vector<std::uint8_t>& bytes, unsigned firstAddress) {
    std::string out;
    char cell[16];
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        std::snprintf(cell, sizeof cell, "  %04X:", static_cast<unsigned>(firstAddress + i) & 0xFFFFu);
        out += cell;
        for (std::size_t k = i; k < i + 16 && k < bytes.size(); ++k) {
            std::snprintf(cell, sizeof cell, " %02X", bytes[k]);
            out += cell;
        }
        out += '\n';
    }
    return out;
}

std::string HumanText(const ServiceOutcome& o) {
    char line[160];
    switch (o.reply) {
        case ServiceReply::Acknowledgement:
            std::snprintf(line, sizeof line, "%s: acknowledged, byte 0x%02X\n", o.title.c_str(),
                          o.bytes.empty() ? 0u : o.bytes[0]);
            return line;
        case ServiceReply::Data:
            std::snprintf(line, sizeof line, "%s: %zu bytes\n", o.title.c_str(), o.bytes.size());
            return line + HexLines(o.bytes, o.firstAddress);
        case ServiceReply::ADCValues: {
            std::snprintf(line, sizeof line, "%s: %zu bytes, values 0-7 from RAM 0x%04X, values 8-15 from RAM 0x%04X\n",
                          o.title.c_str(), o.bytes.size(), o.valuePointers[0], o.valuePointers[1]);
            std::string text = line + HexLines(o.bytes, 0);
            const auto values = AdcValues(o.bytes);
            for (std::size_t i = 0; i < values.size(); ++i) {
                std::snprintf(line, sizeof line, "  value %2zu  0x%08X  %11d\n", i, values[i],
                              static_cast<std::int32_t>(values[i]));
                text += line;
            }
            return text;
        }
    }
    return {};
}

Report ServiceReport(const std::vector<ServiceOutcome>& outcomes) {
    Report report;
    Json commands = Json::array();
    Table table{"replies", {"command", "arguments", "index", "byte"}, {}};
    for (const ServiceOutcome& o : outcomes) {
        Json j;
        j["command"] = o.name;
        j["arguments"] = o.arguments;
        j["reply"] = ReplyName(o.reply);
        j["bytes"] = o.bytes;
        if (o.reply == ServiceReply::Data) j["first_address"] = o.firstAddress;
        if (o.reply == ServiceReply::ADCValues) {
            j["values"] = AdcValues(o.bytes);
            j["value_pointers"] = {o.valuePointers[0], o.valuePointers[1]};
        }
        commands.push_back(j);
        std::string arguments;
        for (long long a : o.arguments) arguments += (arguments.empty() ? "" : " ") + std::to_string(a);
        for (std::size_t i = 0; i < o.bytes.size(); ++i) table.Row(o.name, arguments, i, o.bytes[i]);
        report.human += HumanText(o);
    }
    report.json["commands"] = commands;
    report.tables.push_back(std::move(table));
    return report;
}

void RunService(ToolContext& tool, const std::vector<std::string>& words) {
    std::vector<ServiceCommand> commands;
    std::string error;
    // Every command is checked before anything is sent, so a typo in the
    // third does not leave the first two done.
    if (!ParseServiceCommands(words, commands, error)) throw ToolError(kExitBadArgument, "service: " + error);
    PluginApi& api = tool.Plugin();
    MeterLine& line = tool.Line();
    std::optional<ToolError> failure;
    std::vector<ServiceOutcome> outcomes;
    {
        ServiceLink link(api, line.Handle(), tool.SessionOptions(), tool.trace);
        outcomes = RunServiceCommands(link, commands, tool.trace, failure);
    }
    // What was answered before a failure is still worth seeing.
    if (!outcomes.empty() || !failure) tool.Emit(ServiceReport(outcomes));
    if (failure) throw *failure;
}

}  // namespace

void RegisterServiceCommand(CLI::App& app, ToolContext& tool) {
    auto words = std::make_shared<std::vector<std::string>>();
    CLI::App* service =
        app.add_subcommand("service", "measurement and calibration commands, in the order given (see service --help)");
    service->footer(
        "commands (numbers decimal or 0x hex; the virtual meter's state lasts one run), e.g.\n"
        "  q31 service analog-start 1 analog-read 0 16 analog-end\n" +
        ServiceCommandHelp());
    service->add_option("COMMANDS", *words, "commands and their arguments")->required();
    service->callback([&tool, words] { tool.action = [&tool, words] { RunService(tool, *words); }; });
}

}  // namespace q31::tool
