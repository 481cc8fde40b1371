// q31 collect: reads a fleet of meters into an SQLite database, once (for
// cron) or for as long as it runs.
#include <csignal>
#include <cstdio>
#include <string>

#include "support/JournalStream.h"
#include "tools/q31/cli/Commands.h"
#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/Collector.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {

volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gReload = 0;

// The signal's number: the exit status tells which one stopped the run.
extern "C" void OnStopSignal(int signal) { gStop = signal; }
extern "C" void OnReloadSignal(int) { gReload = 1; }

struct CollectArgs {
    std::string config;
    std::string db;
    bool once = false;
    bool jsonl = false;
    std::string logLevel = "info";
    bool quiet = false;
    bool check = false;
};

// The configuration as the run uses it: the file, with the command line's
// overrides (the operator's latest word overrules the file).
collect::CollectConfig LoadConfig(const ToolContext& tool, const std::string& path) {
    collect::CollectConfig config = collect::LoadCollectConfig(path);
    if (tool.options.confirmGiven)
        for (collect::MeterSettings& meter : config.meters) meter.confirm = tool.options.confirm;
    return config;
}

void RunCollect(ToolContext& tool, const CollectArgs& args) {
    collect::CollectConfig config = LoadConfig(tool, args.config);
    collect::CollectOptions options;
    options.db = args.db.empty() ? config.db : args.db;
    if (options.db.empty()) throw ToolError(kExitBadArgument, "no database: give --db FILE or db in [collect]");
    if (args.check) {
        // Nothing is opened: the file can be checked on a machine without the meters.
        const std::size_t meters = config.meters.size();
        const std::size_t lines = collect::LineCount(config);
        std::printf("%s: ok, %zu meter%s on %zu line%s\n", args.config.c_str(), meters, meters == 1 ? "" : "s", lines,
                    lines == 1 ? "" : "s");
        return;
    }
    options.configPath = args.config;
    options.once = args.once;
    options.jsonl = args.jsonl;
    options.trace = tool.options.trace;
    options.logLevel = args.quiet ? collect::LogLevel::Error : *collect::LogLevelByName(args.logLevel);
    options.journal = StderrIsJournal();
    options.reload = [&tool, path = args.config] { return LoadConfig(tool, path); };

    PluginApi& api = tool.Plugin();

    // SIGTERM and SIGINT end the run between two batches: the batch being
    // written is committed, the request on the line is dropped. SIGHUP reads
    // the configuration again, also between two batches.
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = &OnReloadSignal;
    sigaction(SIGHUP, &action, nullptr);

    collect::Collector collector(std::move(config), options, api);
    const int status = collector.Run({&gStop, &gReload});
    // The summary says "(interrupted)"; the status says by what, as a shell
    // would for a program the signal killed, so that a script or cron does
    // not take a cut-short run for a whole one.
    if (gStop == SIGINT) throw ToolError(kExitInterrupted, "");
    if (gStop == SIGTERM) throw ToolError(kExitTerminated, "");
    if (status == kExitSinkDown)
        throw ToolError(kExitSinkDown, "a sink could not be reached, or refused what was shipped");
    if (status != kExitOk) throw ToolError(static_cast<ExitStatus>(status), "some meters could not be read");
}

}  // namespace

void RegisterCollectCommand(CLI::App& app, ToolContext& tool) {
    auto args = std::make_shared<CollectArgs>();
    CLI::App* cmd =
        app.add_subcommand("collect", "read the meters of a TOML configuration into an SQLite database, incrementally");
    cmd->add_option("--config", args->config, "the TOML file that lists the meters")
        ->required()
        ->check(CLI::ExistingFile);
    cmd->add_option("--db", args->db, "the SQLite database (default: db in the configuration's [collect])");
    cmd->add_flag("--once", args->once, "one pass over every meter, then exit (for cron)");
    cmd->add_flag("--check", args->check, "check the configuration, open nothing, and exit");
    cmd->add_flag("--jsonl", args->jsonl,
                  "one JSON line per stored batch (with its values) and per failed attempt on stdout; the summary goes "
                  "to stderr");
    cmd->add_option("--log-level", args->logLevel, "error, warn, info or debug (default info)")
        ->check(CLI::Validator(
            [](std::string& level) -> std::string {
                if (collect::LogLevelByName(level)) return {};
                return "must be error, warn, info or debug, not \"" + level + "\"";
            },
            "LEVEL"));
    cmd->add_flag("--quiet", args->quiet, "errors only, no summary (for cron): --log-level error");
    cmd->callback([&tool, args] { tool.action = [&tool, args] { RunCollect(tool, *args); }; });
}

}  // namespace q31::tool
