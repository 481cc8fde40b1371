// The subcommands of q31. Each family lives in its own file and adds its
// subcommands to the parser; RegisterCommands (CommandRegistry.cpp) is the
// one place that lists the families, so a new subcommand is a new file and
// one line there.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/q31/cli/ToolContext.h"

namespace q31::tool {

void RegisterCommands(CLI::App& app, ToolContext& tool);
// When the command line failed on a word where a command belongs, what to
// tell the operator: `unknown command "sacn" (did you mean "scan"?)`. Empty
// when the fault lies elsewhere.
std::string UnknownCommandMessage(CLI::App& app, const CLI::ParseError& error);

// id, modules, module, current, totals
void RegisterMeterCommands(CLI::App& app, ToolContext& tool);
// What q31 does with no subcommand: id.
void RunIdentification(ToolContext& tool);
// counters, series
void RegisterArchiveCommands(CLI::App& app, ToolContext& tool);
// errorhead, errors, edithead, edits
void RegisterLogCommands(CLI::App& app, ToolContext& tool);
// scan
void RegisterScanCommand(CLI::App& app, ToolContext& tool);
// dump
void RegisterDumpCommand(CLI::App& app, ToolContext& tool);
// service
void RegisterServiceCommand(CLI::App& app, ToolContext& tool);
// collect
void RegisterCollectCommand(CLI::App& app, ToolContext& tool);

}  // namespace q31::tool
