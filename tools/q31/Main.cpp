// q31: the operator's program for Q31 meters. Reads, scans, services and
// dumps a meter through the plug-in as a host does (its exported context
// API, and nothing else). Without --port it starts the virtual meter, the
// q31-sim program, on a pseudo-terminal.
#include <cstdio>
#include <string>

#include <CLI/CLI.hpp>

#include "publicQ31.h"
#include "support/JournalStream.h"
#include "support/ProcessInfo.h"
#include "tools/q31/cli/Commands.h"
#include "tools/q31/common/ConfirmOption.h"
#include "tools/q31/common/NamedChoice.h"
#include "tools/q31/common/ToolError.h"

namespace {

using namespace q31::tool;

// An option that takes one of `choices` by name, in any case, and nothing
// else: CLI11's own mapping would show its internals when refusing a value.
template <typename T, std::size_t N, typename Store>
void AddChoiceOption(CLI::App& app, const std::string& flag, const NamedChoice<T> (&choices)[N], Store store,
                     const std::string& help) {
    app.add_option_function<std::string>(
           flag, [&choices, store](const std::string& text) { store(*ChoiceByName(text, choices)); }, help)
        ->check(CLI::Validator(
            [&choices](std::string& text) -> std::string {
                if (ChoiceByName(text, choices)) return {};
                return "must be " + ChoiceList(choices) + ", not \"" + text + "\"";
            },
            ""))
        ->option_text(ChoiceBar(choices));
}

void AddGlobalOptions(CLI::App& app, GlobalOptions& o) {
    app.add_option("--port", o.port,
                   "serial device of the meter, or a serial server: tcp://HOST:PORT or rfc2217://HOST:PORT "
                   "(default: start the virtual meter)");
    app.add_option("--baud", o.line.baud, "line speed, any standard one from 50 to 4000000")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                try {
                    if (q31::HostPortSpeedSupported(std::stoi(text))) return {};
                } catch (const std::exception&) {
                }
                return "not a standard line speed: " + text;
            },
            "SPEED"))
        ->capture_default_str();
    AddChoiceOption(
        app, "--parity", kParityChoices, [&o](q31::HostParity p) { o.line.parity = p; },
        "none, even or odd (default none)");
    app.add_option("--stop-bits", o.line.stopBits, "1 or 2")->check(CLI::IsMember({1, 2}))->capture_default_str();
    app.add_flag("--echo", o.echo, "the line returns every byte sent (two-wire line)");
    app.add_option("--timeout", o.timeoutMs, "reply time-out of one packet, ms")
        ->check(CLI::Range(1, Q31_TIMEOUT_MAX_MS))
        ->capture_default_str();
    app.add_option("--send-limit", o.sendLimit, "re-sends of one packet before giving up (0: no limit)")
        ->check(CLI::Range(0, 1000000))
        ->capture_default_str();
    app.add_option("--address", o.address, "the meter's address on the line")
        ->check(CLI::Range(Q31_ADDRESS_MIN, Q31_ADDRESS_MAX))
        ->capture_default_str();
    AddChoiceOption(
        app, "--confirm", kConfirmChoices,
        [&o](std::uint8_t mode) {
            o.confirm = mode;
            o.confirmGiven = true;
        },
        "confirmed reads, each sent twice and taken when both replies agree: never (off), always, or "
        "while the line has shown a fault recently (auto, the default)");
    app.add_option("--serial", o.serial, "the serial number of the meter meant; another one answering is an error")
        ->check(CLI::Range(0LL, 4294967295LL));
    AddChoiceOption(
        app, "--format", kFormatChoices, [&o](OutputFormat f) { o.format = f; }, "human, json or csv (default human)");
    app.add_flag("--trace", o.trace, "print every event on the line on stderr");
    app.add_option("--library", o.library,
                   "the plug-in (default: libpublicQ31.so beside this program, or installed in ../lib)");
}

}  // namespace

int main(int argc, char** argv) {
    ToolContext tool(q31::ProgramDirectory(argv[0]));
    CLI::App app{
        "q31: reads Q31 meters (device type 5120) through the publicQ31 plug-in.\n"
        "Without --port it reads the virtual meter on a pseudo-terminal.",
        "q31"};
    // Options of the program may also follow the subcommand: q31 id --format json.
    app.fallthrough();
    app.require_subcommand(0, 1);
    // The version CMake's project() names, given to this file by the build.
    app.set_version_flag("--version", "q31 " Q31_VERSION, "print the program's version and exit");
    AddGlobalOptions(app, tool.options);
    RegisterCommands(app, tool);
    app.footer(
        "Exit status: 0 done; 1 other failure; 2 bad argument; 3 the port cannot be opened or is in use;\n"
        "4 no answer from the meter; 5 another meter answered; 6 the port failed during a request.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (const std::string unknown = UnknownCommandMessage(app, e); !unknown.empty()) {
            std::fprintf(stderr, "q31: %s\n", unknown.c_str());
            return kExitBadArgument;
        }
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitBadArgument;
    }
    if (!tool.action) tool.action = [&tool] { RunIdentification(tool); };
    // Under a service manager the journal takes each line's priority from
    // its "<N>" prefix: the reason a run failed is an error, not news.
    const char* const errorPrefix = q31::StderrIsJournal() ? "<3>" : "";
    try {
        tool.action();
    } catch (const ToolError& e) {
        std::fflush(stdout);
        // An empty text: the command has said all there is (a stop by a signal).
        if (*e.what()) std::fprintf(stderr, "%sq31: %s\n", errorPrefix, e.what());
        return e.Status();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%sq31: %s\n", errorPrefix, e.what());
        return kExitFailure;
    }
    return kExitOk;
}
