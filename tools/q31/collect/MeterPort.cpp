#include "tools/q31/collect/MeterPort.h"

#include "sim/PtyMeter.h"
#include "support/HostPort.h"

namespace q31::tool::collect {

MeterPort::MeterPort(const MeterSpec& spec) : name_(spec.port) {
    std::string path = spec.port;
    if (spec.Virtual()) {
        sim::MeterConfig config;
        config.seed = spec.sim.seed;
        config.address = spec.address;
        config.serialNumber = spec.sim.serial.value_or(spec.serial);
        config.moduleCount = spec.sim.modules;
        config.hourCount = spec.sim.hourCount;
        config.dayCount = spec.sim.dayCount;
        config.versionWord = spec.sim.versionWord;
        sim::PtyMeterOptions line;
        line.echo = spec.echo;
        line.replyDelayMs = spec.sim.replyDelayMs;
        meter_ = std::make_unique<sim::PtyMeter>(config, line);
        meter_->WithModel([&](sim::MeterModel& model) {
            for (const sim::FaultRateOption& f : spec.sim.faults) model.SetFaultRate(f.kind, f.probability, f.param);
        });
        if (!meter_->Start()) {
            error_ = "cannot start the virtual meter " + spec.port + ": no pseudo-terminal";
            return;
        }
        path = meter_->SlavePath();
    }
    int osError = 0;
    handle_ = OpenHostPort(path.c_str(), spec.line, &osError);
    if (!PortUsable(handle_)) error_ = "cannot open " + path + ": " + HostPortErrorText(osError);
}

MeterPort::~MeterPort() {
    CloseHostPort(handle_);
    if (meter_) meter_->Stop();
}

}  // namespace q31::tool::collect
