// How a virtual meter is made: everything else follows from the seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/MeterLayout.h"
#include "sim/SimFrame.h"

namespace q31::sim {

struct MeterConfig {
    std::uint64_t seed = kDefaultSeed;  // memory content, idBytes4, idWord12, fault draws
    std::uint8_t address = kDefaultMeterAddress;
    std::uint16_t versionWord = kDefaultVersionWord;
    std::uint32_t serialNumber = kDefaultSerialNumber;
    std::optional<std::uint16_t> idWord12;  // default: drawn from the seed
    std::uint8_t moduleCount = kDefaultModuleCount;
    std::uint8_t ackByte = 0x06;      // answer to every write-type command
    std::uint8_t furtherByte = 0xA5;  // the byte between payload and checksum
    std::size_t logCapacity = 256;    // request packets kept for inspection
    // Archive counters at 10496: records written since the archive began.
    // The defaults have gone round both rings (1080 hourly, 550 daily slots).
    std::uint32_t archiveFirstWord = 1;
    std::uint32_t hourCount = 2000;
    std::uint32_t dayCount = 600;
};

}  // namespace q31::sim
