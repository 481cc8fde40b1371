#include "tools/q31/collect/LinePlanOf.h"

#include <cstdio>

namespace q31::tool::collect {

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// One [[meter]] of q31-sim's bus file.
std::string BusMeter(const SimLineMeter& m, std::uint64_t seed) {
    std::string text = "[[meter]]\n";
    text += "address = " + std::to_string(m.address) + "\n";
    text += "serial = " + std::to_string(m.serial) + "\n";
    text += "seed = " + std::to_string(seed) + "\n";
    text += "modules = " + std::to_string(m.sim.modules) + "\n";
    text += "hour_count = " + std::to_string(m.sim.hourCount) + "\n";
    text += "day_count = " + std::to_string(m.sim.dayCount) + "\n";
    text += "version_word = " + std::to_string(m.sim.versionWord) + "\n";
    if (m.sim.faults.empty()) return text;
    text += "faults = [";
    char rate[64];
    for (std::size_t i = 0; i < m.sim.faults.size(); ++i) {
        const SimFault& f = m.sim.faults[i];
        std::snprintf(rate, sizeof rate, ":%.17g:%d", f.rate, f.param);
        text += (i ? ", " : "") + Quoted(f.kind + rate);
    }
    return text + "]\n";
}

}  // namespace

LinePlan LinePlanOf(const MeterSettings& settings) {
    LinePlan plan;
    plan.port = settings.port;
    plan.settings = settings.line;
    if (!settings.Virtual()) return plan;
    plan.isVirtual = true;
    std::vector<SimLineMeter> meters = settings.simLine;
    if (meters.empty())
        meters.push_back({settings.address, settings.sim.serial.value_or(settings.serial), settings.sim});
    char clock[64];
    std::snprintf(clock, sizeof clock, "clock_rate = %.17g\n", settings.sim.clockRate);
    plan.simBus = clock;
    for (const SimLineMeter& m : meters) {
        // The first meter is the one the port's seed names; the others
        // differ from it by their address.
        const bool first = &m == &meters.front();
        plan.simBus += BusMeter(m, first ? m.sim.seed : m.sim.seed + m.address);
    }
    plan.simArguments = {"--delay-ms", std::to_string(settings.sim.replyDelayMs)};
    if (settings.echo) plan.simArguments.push_back("--echo");
    return plan;
}

}  // namespace q31::tool::collect
