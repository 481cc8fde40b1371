// scan: which addresses of the line a meter answers at (the rule for late
// answers is in LineScan.h).
#include <cstdio>
#include <memory>
#include <string>

#include "support/ProcessInfo.h"
#include "tools/q31/cli/Commands.h"
#include "tools/q31/cli/LineScan.h"
#include "tools/q31/cli/MeterJson.h"
#include "tools/q31/cli/ProgressBar.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {

constexpr int kFirstAddress = Q31_ADDRESS_MIN;
constexpr int kLastAddress = Q31_ADDRESS_MAX;

struct ScanArguments {
    int from = kFirstAddress;
    int to = kLastAddress;
    std::string addresses;  // "A-B", or one address
    int timeoutMs = 200;
};

// "A-B" or "A" into from and to; false when it is neither.
bool ParseRange(const std::string& text, int& from, int& to) {
    int a = 0, b = 0;
    char tail = 0;
    const bool range = std::sscanf(text.c_str(), "%d-%d%c", &a, &b, &tail) == 2;
    if (!range) {
        if (std::sscanf(text.c_str(), "%d%c", &a, &tail) != 1) return false;
        b = a;
    }
    if (a < kFirstAddress || b > kLastAddress || a > b) return false;
    from = a;
    to = b;
    return true;
}

Json FoundJson(const ScanHit& f) {
    const Json ident = IdentJson(f.ident);
    return Json{{"address", f.address},
                {"serial_number", ident["serial_number"]},
                {"device_type", ident["device_type"]},
                {"device_type_text", ident["device_type_text"]},
                {"version_word", ident["version_word"]}};
}

void RunScan(ToolContext& tool, ScanArguments a) {
    if (!a.addresses.empty() && !ParseRange(a.addresses, a.from, a.to))
        throw ToolError(kExitBadArgument, "--addresses must be A-B or A, within " + std::to_string(kFirstAddress) +
                                              "-" + std::to_string(kLastAddress) + ", not \"" + a.addresses + "\"");
    if (a.from > a.to)
        throw ToolError(kExitBadArgument,
                        "scan: --from " + std::to_string(a.from) + " lies after --to " + std::to_string(a.to));
    PluginApi& api = tool.Plugin();
    MeterLine& line = tool.Line();
    ScanLink link(api, line.Handle(), tool.SessionOptions(), tool.trace);
    ProgressBar bar(static_cast<std::uint64_t>(a.to - a.from + 1), StderrIsTerminal() && !tool.options.trace,
                    "addresses");
    const ScanPlan plan{a.from, a.to, a.timeoutMs, tool.options.timeoutMs};
    const std::vector<ScanHit> found =
        ScanLine(link, plan, [&bar](int asked) { bar.Update(static_cast<std::uint64_t>(asked)); });
    bar.Finish();

    Table table{"scan", {"address", "serial_number", "device_type", "device_type_text", "version_word"}, {}};
    Json meters = Json::array();
    char text[256];
    std::snprintf(text, sizeof text, "%zu meter%s at addresses %d to %d\n", found.size(), found.size() == 1 ? "" : "s",
                  a.from, a.to);
    std::string human = text;
    for (const ScanHit& f : found) {
        const Json j = FoundJson(f);
        meters.push_back(j);
        table.Row(f.address, f.ident.SerialNumber, f.ident.DevType, j["device_type_text"].get<std::string>(),
                  f.ident.IdWord2);
        std::snprintf(text, sizeof text,
                      "address %3d  serial number %10u  device type %u (0x%04X) %s  version 0x%04X\n", f.address,
                      f.ident.SerialNumber, f.ident.DevType, f.ident.DevType,
                      j["device_type_text"].get<std::string>().c_str(), f.ident.IdWord2);
        human += text;
    }
    tool.Emit({{{"from", a.from}, {"to", a.to}, {"meters", meters}}, {table}, human});
    if (found.empty())
        throw ToolError(kExitNoAnswer, "no meter answered at addresses " + std::to_string(a.from) + " to " +
                                           std::to_string(a.to) + " (check the port, speed, parity and --echo)");
}

}  // namespace

void RegisterScanCommand(CLI::App& app, ToolContext& tool) {
    auto args = std::make_shared<ScanArguments>();
    CLI::App* scan = app.add_subcommand("scan", "find the meters on the line: one identification per address");
    scan->add_option("--from", args->from, "first address")->check(CLI::Range(kFirstAddress, kLastAddress));
    scan->add_option("--to", args->to, "last address")->check(CLI::Range(kFirstAddress, kLastAddress));
    scan->add_option("--addresses", args->addresses, "the addresses as A-B (instead of --from and --to)")
        ->excludes("--from")
        ->excludes("--to");
    scan->add_option("--scan-timeout", args->timeoutMs, "how long each address is waited for, ms")
        ->check(CLI::Range(1, Q31_TIMEOUT_MAX_MS))
        ->capture_default_str();
    scan->callback([&tool, args] { tool.action = [&tool, args] { RunScan(tool, *args); }; });
}

}  // namespace q31::tool
