// What a virtual bus is made of: its meters, how fast their time runs, and
// the swaps and resets due on the way.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/FaultRateOption.h"
#include "sim/MeterConfig.h"

namespace q31::sim {

struct BusMeterPlan {
    MeterConfig meter;
    std::vector<FaultRateOption> faults;
    // The meter's own echo (a converter in front of it that echoes): its
    // packets are repeated once complete, before the answer. The line-wide
    // echo of PtyMeterOptions repeats every byte as it passes instead.
    bool echo = false;
};

struct BusEvent {
    enum class Kind : std::uint8_t { Swap, Reset };
    Kind kind = Kind::Swap;
    double at = 0;  // simulated seconds
    std::uint8_t address = 0;
    std::uint32_t serial = 0;     // Swap: the serial number of the meter put in
    std::uint32_t hourCount = 0;  // Reset: hourly records the archive keeps
    std::uint32_t dayCount = 0;   // Reset: daily records it keeps
};

struct BusPlan {
    std::vector<BusMeterPlan> meters;
    // Simulated seconds per real second on a line (PtyMeter); 0: the meters'
    // memories stay as they were made.
    double clockRate = 0;
    // N > 0: before every Nth archive-read packet (0x90) that follows another
    // to the same meter, the meter writes an hourly record, so records land
    // between the packets of a read.
    int writeDuringReads = 0;
    std::vector<BusEvent> events;
};

}  // namespace q31::sim
