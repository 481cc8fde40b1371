// The error and edit logs: heads and blocks, as the plug-in hands them over.
#include <memory>

#include "tools/q31/cli/Commands.h"
#include "tools/q31/cli/MeterJson.h"
#include "tools/q31/cli/MeterTables.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {

void RunErrorHead(ToolContext& tool, std::uint32_t module) {
    tool.Identify();
    MeterReader& reader = tool.Reader();
    const auto words = module ? reader.ErrorHeadModule(module) : reader.ErrorHeadDevice();
    Json j;
    j["owner"] = module ? "module" : "device";
    if (module) j["module"] = module;
    j["words"] = WordsJson(words);
    Table t = ErrorHeadsTable();
    AppendErrorHead(t, module, words);
    tool.Emit({j, {t}, {}});
}

void RunErrors(ToolContext& tool, const std::vector<std::uint32_t>& numbers) {
    const bool module = numbers.size() == 2;
    const std::uint32_t m = module ? numbers[0] : 0;
    const std::uint32_t block = numbers.back();
    if (module ? (m < 1 || m > 6 || block < 1 || block > 5) : (block < 1 || block > 8))
        throw ToolError(kExitBadArgument,
                        module ? "errors: MODULE must be 1 to 6 and BLOCK 1 to 5" : "errors: BLOCK must be 1 to 8");
    tool.Identify();
    MeterReader& reader = tool.Reader();
    const LogBlock records = module ? reader.ErrorBlockModule(m, block) : reader.ErrorBlockDevice(block);
    Json j;
    j["owner"] = module ? "module" : "device";
    if (module) j["module"] = m;
    j["block"] = block;
    j["records"] = RecordsJson(records);
    Table t = ErrorRecordsTable();
    AppendErrorRecords(t, m, block, records);
    tool.Emit({j, {t}, {}});
}

}  // namespace

void RegisterLogCommands(CLI::App& app, ToolContext& tool) {
    auto headModule = std::make_shared<std::uint32_t>(0);
    CLI::App* head = app.add_subcommand("errorhead", "the device's error-log head, or that of module MODULE");
    head->add_option("MODULE", *headModule, "module number (default: the device)")->check(CLI::Range(1, 8));
    head->callback([&tool, headModule] { tool.action = [&tool, headModule] { RunErrorHead(tool, *headModule); }; });

    auto numbers = std::make_shared<std::vector<std::uint32_t>>();
    CLI::App* errors = app.add_subcommand("errors",
                                          "a block of the device's error log (BLOCK 1-8), or of a module's "
                                          "(MODULE 1-6 BLOCK 1-5)");
    errors->add_option("NUMBERS", *numbers, "[MODULE] BLOCK")->required()->expected(1, 2);
    errors->callback([&tool, numbers] { tool.action = [&tool, numbers] { RunErrors(tool, *numbers); }; });

    auto editModule = std::make_shared<std::uint32_t>(1);
    CLI::App* edithead = app.add_subcommand("edithead", "the edit-log head of a module");
    edithead->add_option("MODULE", *editModule, "module number")->required()->check(CLI::Range(1, 8));
    edithead->callback([&tool, editModule] {
        tool.action = [&tool, editModule] {
            tool.Identify();
            const std::uint16_t word = tool.Reader().EditHeadModule(*editModule);
            Json j;
            j["module"] = *editModule;
            j["word"] = word;
            Table t = EditHeadsTable();
            AppendEditHead(t, *editModule, word);
            tool.Emit({j, {t}, {}});
        };
    });

    auto editsModule = std::make_shared<std::uint32_t>(1);
    CLI::App* edits = app.add_subcommand("edits", "the 16 edit records of a module");
    edits->add_option("MODULE", *editsModule, "module number")->required()->check(CLI::Range(1, 8));
    edits->callback([&tool, editsModule] {
        tool.action = [&tool, editsModule] {
            tool.Identify();
            const LogBlock records = tool.Reader().EditBlockModule(*editsModule);
            Json j;
            j["module"] = *editsModule;
            j["records"] = RecordsJson(records);
            Table t = EditRecordsTable();
            AppendEditRecords(t, *editsModule, records);
            tool.Emit({j, {t}, {}});
        };
    });
}

}  // namespace q31::tool
