// The virtual meter the line-speed benchmarks read: its hourly ring full,
// its line paced at a given speed, and the wait for its own tally.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "sim/PtyMeter.h"

namespace q31::bench {

inline sim::MeterConfig FullRingConfig() {
    sim::MeterConfig config;
    config.hourCount = 2000;  // the ring is full
    return config;
}

inline sim::PtyMeterOptions PacedOptions(std::uint32_t baud, bool echo) {
    sim::PtyMeterOptions options;
    options.echo = echo;
    options.wire = sim::WireTiming(baud);
    return options;
}

// The meter's observer runs after the reply went out, so it may trail the
// host's callback by a moment: waits until `tallied()` counts every request
// the meter served.
template <typename Tallied>
bool WaitTallied(sim::PtyMeter& meter, Tallied tallied) {
    for (int i = 0; i < 1000; ++i) {
        if (tallied() == meter.RequestCount()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace q31::bench
