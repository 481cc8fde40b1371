#include "tools/q31/cli/ToolContext.h"

#include <cstdio>

#include "tools/q31/cli/ReportWriter.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {
const char* ParityName(HostParity p) {
    switch (p) {
        case HostParity::Even: return "even parity";
        case HostParity::Odd: return "odd parity";
        case HostParity::None: break;
    }
    return "no parity";
}

// The port the operator named, or, when none, one virtual meter at the
// address asked for.
LinePlan LinePlanOf(const GlobalOptions& options) {
    LinePlan plan;
    plan.port = options.port;
    plan.settings = options.line;
    if (plan.port.empty()) {
        plan.isVirtual = true;
        plan.simArguments = {"--address", std::to_string(options.address)};
        if (options.echo) plan.simArguments.push_back("--echo");
    }
    return plan;
}
}  // namespace

ToolContext::~ToolContext() {
    // The session goes before the port it writes on.
    reader_.reset();
    line_.reset();
}

MeterLine& ToolContext::Line() {
    if (line_) return *line_;
    // A network line is opened by the plug-in; a device or a virtual line
    // needs none yet.
    const bool url = MeterLine::IsUrl(options.port);
    auto line = std::make_unique<MeterLine>(LinePlanOf(options), url ? &Plugin() : nullptr);
    if (!line->Open() && line->Virtual() && line->OsError() == 0) throw ToolError(kExitFailure, line->Error());
    if (!line->Open() && url) throw ToolError(line->BadUrl() ? kExitBadArgument : kExitPortOpen, line->Error());
    if (!line->Open()) {
        char setup[96];
        std::snprintf(setup, sizeof setup, "%d baud, %s, %d stop bit%s", options.line.baud,
                      ParityName(options.line.parity), options.line.stopBits, options.line.stopBits == 1 ? "" : "s");
        throw ToolError(kExitPortOpen,
                        "cannot open " + line->Path() + " (" + setup + "): " + HostPortOpenErrorText(line->OsError()));
    }
    // stdout carries the report alone, whatever its format.
    if (line->Virtual()) std::fprintf(stderr, "virtual meter on %s\n", line->Path().c_str());
    if (options.trace) trace.PrintTo(stderr);
    line_ = std::move(line);
    return *line_;
}

q31_options ToolContext::SessionOptions() const {
    q31_options o{};
    api_.options_init(&o);
    o.echo = options.echo ? 1 : 0;
    o.slave_address = static_cast<std::uint8_t>(options.address);
    o.timeout_ms = options.timeoutMs;
    o.send_limit = options.sendLimit;
    o.confirm = options.confirm;
    return o;
}

PluginApi& ToolContext::Plugin() {
    if (apiLoaded_) return api_;
    std::string error;
    if (!options.library.empty()) {
        if (!api_.Load(options.library, error)) throw ToolError(kExitFailure, error);
    } else {
        bool loaded = false;
        for (const std::string& path : {programDir_ + "/libpublicQ31.so", programDir_ + "/../lib/libpublicQ31.so.0",
                                        std::string("libpublicQ31.so.0")}) {
            std::string tried;
            if (api_.Load(path, tried)) {
                loaded = true;
                break;
            }
            if (error.empty()) error = tried;
        }
        if (!loaded) throw ToolError(kExitFailure, error);
    }
    apiLoaded_ = true;
    return api_;
}

MeterReader& ToolContext::Reader() {
    if (!reader_) {
        PluginApi& api = Plugin();
        MeterLine& line = Line();
        reader_ = std::make_unique<MeterReader>(api, line.Handle(), SessionOptions(), trace);
    }
    return *reader_;
}

SDevIdent ToolContext::Identify() {
    MeterReader& reader = Reader();
    const SDevIdent found = reader.Identify();
    SDevIdent expected = found;
    if (options.serial >= 0) expected.SerialNumber = static_cast<std::uint32_t>(options.serial);
    reader.Expect(expected);
    return found;
}

void ToolContext::CheckModule(std::uint32_t module, std::uint32_t count, const char* what) {
    if (module <= count) return;
    throw ToolError(kExitBadArgument, std::string(what) + ": module " + std::to_string(module) +
                                          " does not exist: the meter reports " + std::to_string(count) + " module" +
                                          (count == 1 ? "" : "s"));
}

void ToolContext::Emit(const Report& report) const { WriteReport(report, options.format, stdout); }

}  // namespace q31::tool
