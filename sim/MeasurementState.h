// What the virtual meter remembers of the measurement and calibration
// commands 0x80 to 0x86, so that their effects show in later replies and
// tests can see that the packets arrived with the right data.
#pragma once

#include <cstdint>

namespace q31::sim {

struct MeasurementState {
    bool analogRunning = false;          // between 0x81 and 0x83
    std::uint8_t analogMode = 0;         // value byte of the last 0x81
    std::uint32_t analogStarts = 0;      // 0x81 packets accepted
    std::uint32_t analogEnds = 0;        // 0x83 packets accepted
    std::uint32_t conversions = 0;       // ADC conversions so far; each 0x82 while running makes one
    std::uint32_t analogReads = 0;       // 0x82 packets accepted
    std::uint16_t lastReadAddress = 0;   // address of the last 0x82
    std::uint32_t saves = 0;             // 0x80 packets accepted
    std::uint8_t lastSaveValue = 0;      // value byte of the last 0x80
    std::uint32_t flowCalculations = 0;  // 0x84 packets accepted
    std::uint8_t flowValue = 0;          // value byte of the last 0x84
    std::uint32_t termCalculations = 0;  // 0x85 packets accepted
    std::uint32_t pressReads = 0;        // 0x86 packets accepted
};

}  // namespace q31::sim
