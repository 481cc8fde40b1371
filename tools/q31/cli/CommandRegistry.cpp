#include "tools/q31/cli/Commands.h"

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

}  // namespace q31::tool
