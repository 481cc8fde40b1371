#include "tools/q31/collect/MeterPort.h"

#include "sim/PtyMeter.h"
#include "support/HostPort.h"

namespace q31::tool::collect {

MeterPort::MeterPort(const MeterSettings& settings) : name_(settings.port) {
    std::string path = settings.port;
    if (settings.Virtual()) {
        std::vector<SimLineMeter> meters = settings.simLine;
        if (meters.empty())
            meters.push_back({settings.address, settings.sim.serial.value_or(settings.serial), settings.sim});
        sim::BusPlan plan;
        plan.clockRate = settings.sim.clockRate;
        for (const SimLineMeter& m : meters) {
            sim::BusMeterPlan p;
            // The first meter is the one the port's seed names; the others
            // differ from it by their address.
            p.meter.seed = plan.meters.empty() ? m.sim.seed : m.sim.seed + m.address;
            p.meter.address = m.address;
            p.meter.serialNumber = m.serial;
            p.meter.moduleCount = m.sim.modules;
            p.meter.hourCount = m.sim.hourCount;
            p.meter.dayCount = m.sim.dayCount;
            p.meter.versionWord = m.sim.versionWord;
            p.faults = m.sim.faults;
            plan.meters.push_back(p);
        }
        sim::PtyMeterOptions line;
        line.echo = settings.echo;
        line.replyDelayMs = settings.sim.replyDelayMs;
        meter_ = std::make_unique<sim::PtyMeter>(line, plan);
        if (!meter_->Start()) {
            error_ = "cannot start the virtual meter " + settings.port + ": no pseudo-terminal";
            return;
        }
        path = meter_->SlavePath();
    }
    int osError = 0;
    handle_ = OpenHostPort(path.c_str(), settings.line, &osError);
    if (PortUsable(handle_)) return;
    error_ = "cannot open " + path + ": " + HostPortOpenErrorText(osError);
    busy_ = HostPortBusy(osError);
}

MeterPort::~MeterPort() {
    CloseHostPort(handle_);
    if (meter_) meter_->Stop();
}

}  // namespace q31::tool::collect
