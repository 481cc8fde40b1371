#include "tools/q31/common/MeterLine.h"

#include <cstdio>

#include "sim/PtyMeter.h"
#include "support/HostPort.h"
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
}  // namespace

MeterLine::MeterLine(const GlobalOptions& options) : path_(options.port) {
    if (path_.empty()) {
        sim::MeterConfig config;
        config.address = static_cast<std::uint8_t>(options.address);
        sim::PtyMeterOptions line;
        line.echo = options.echo;
        meter_ = std::make_unique<sim::PtyMeter>(config, line);
        if (!meter_->Start()) throw ToolError(kExitFailure, "cannot start the virtual meter: no pseudo-terminal");
        path_ = meter_->SlavePath();
        // stdout carries the report alone, whatever its format.
        std::fprintf(stderr, "virtual meter on %s\n", path_.c_str());
    }
    int osError = 0;
    handle_ = OpenHostPort(path_.c_str(), options.line, &osError);
    if (!PortUsable(handle_)) {
        char setup[96];
        std::snprintf(setup, sizeof setup, "%d baud, %s, %d stop bit%s", options.line.baud,
                      ParityName(options.line.parity), options.line.stopBits, options.line.stopBits == 1 ? "" : "s");
        throw ToolError(kExitPortOpen, "cannot open " + path_ + " (" + setup + "): " + HostPortOpenErrorText(osError));
    }
}

MeterLine::~MeterLine() {
    CloseHostPort(handle_);
    if (meter_) meter_->Stop();
}

}  // namespace q31::tool
