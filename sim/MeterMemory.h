// The meter's memories: RAM (64 KiB), data flash (512 KiB) and the F149
// controller's own flash (64 KiB).
//
// Every access is clamped to the image: reads beyond the end give zeros,
// writes beyond the end are dropped. Whatever address arrives in a packet, no
// access leaves the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace q31::sim {

enum class MemoryArea : std::uint8_t { Ram, Flash, F149Flash };

class MeterMemory {
public:
    MeterMemory();

    std::span<std::uint8_t> Image(MemoryArea area);
    std::span<const std::uint8_t> Image(MemoryArea area) const;

    // `count` bytes from `address`; those past the end of the image are 0.
    std::vector<std::uint8_t> Read(MemoryArea area, std::uint32_t address, std::size_t count) const;

    // Stores `bytes` at `address`; returns how many fitted in the image.
    std::size_t Write(MemoryArea area, std::uint32_t address, std::span<const std::uint8_t> bytes);

    void Fill(MemoryArea area, std::uint8_t value);

    // Little-endian values; out-of-image parts read as 0 and are not written.
    std::uint16_t ReadU16(MemoryArea area, std::uint32_t address) const;
    std::uint32_t ReadU32(MemoryArea area, std::uint32_t address) const;
    void WriteU16(MemoryArea area, std::uint32_t address, std::uint16_t value);
    void WriteU32(MemoryArea area, std::uint32_t address, std::uint32_t value);

private:
    std::vector<std::uint8_t> ram_;
    std::vector<std::uint8_t> flash_;
    std::vector<std::uint8_t> f149_;
};

}  // namespace q31::sim
