// One accepted request, as a command handler sees it.
#pragma once

#include <cstdint>
#include <span>

namespace q31::sim {

struct MeterRequest {
    std::uint64_t number = 0;  // 1 for the first request the meter accepted
    std::uint8_t address = 0;  // first byte: the meter's address, or 0xCA
    std::uint8_t command = 0;
    std::span<const std::uint8_t> data;   // the L - 1 bytes after the command byte
    std::uint8_t master = 0;              // where the reply goes
    std::span<const std::uint8_t> frame;  // the whole packet, checksum included
};

}  // namespace q31::sim
