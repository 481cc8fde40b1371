#include <string>
#include <vector>

#include "tools/q31/cli/Commands.h"
#include "tools/q31/common/NearestName.h"

namespace q31::tool {

void RegisterCommands(CLI::App& app, ToolContext& tool) {
    RegisterMeterCommands(app, tool);
    RegisterArchiveCommands(app, tool);
    RegisterLogCommands(app, tool);
    RegisterScanCommand(app, tool);
    RegisterDumpCommand(app, tool);
    RegisterServiceCommand(app, tool);
    RegisterCollectCommand(app, tool);
}

std::string UnknownCommandMessage(CLI::App& app, const CLI::ParseError& error) {
    // A word left over with no command chosen stood where the command goes;
    // once a command is chosen, a word left over is its argument's fault.
    // (The error's name is the parser's, not its kind's: ask for the type.)
    if (!dynamic_cast<const CLI::ExtrasError*>(&error) || !app.get_subcommands().empty()) return {};
    const std::vector<std::string> extras = app.remaining();
    if (extras.empty() || extras.front().starts_with('-')) return {};
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
        names.push_back(command->get_name());
    const std::string text = "unknown command \"" + extras.front() + "\"";
    if (const auto nearest = NearestName(extras.front(), names)) return text + " (did you mean \"" + *nearest + "\"?)";
    return text + " (q31 --help lists the commands)";
}

}  // namespace q31::tool
