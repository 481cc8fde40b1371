// What the meter remembers of the service commands (password, clock, keys,
// display), so tests can see that the packets arrived with the right data.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim/MeasurementState.h"

namespace q31::sim {

struct ServiceState {
    std::uint32_t password = 0;            // last 0x50 value
    std::uint32_t passwordCount = 0;       // 0x50 packets accepted
    std::array<std::uint8_t, 20> time{};   // last 0x51 record, as sent
    std::uint32_t timeCount = 0;           // 0x51 packets accepted
    int lastKey = -1;                      // last 0x53 key code; -1: none yet
    std::uint32_t keyCount = 0;            // 0x53 packets accepted
    std::uint16_t controlSumArgument = 0;  // last 0x07 value
    std::uint32_t f149Clears = 0;          // 0x55 packets accepted
    // The display as 0x54 returns it (two 16-character lines, Windows-1251).
    std::string display = "Q31M V2.X       T1=  65.40 C    ";
    MeasurementState measurement;  // 0x80 to 0x86
};

}  // namespace q31::sim
