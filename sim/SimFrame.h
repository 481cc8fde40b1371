// Framing rules of the meter link, as the meter sees them.
//
// Request: [slave][L][command][L-1 data bytes][master][sum lo][sum hi], L + 5
// bytes; the sum is the 16-bit total of every byte before it.
// Reply, general form: [master][L][L payload bytes][one further byte][sum lo][sum hi].
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace q31::sim {

inline constexpr std::uint8_t kDefaultMeterAddress = 201;   // 0xC9
inline constexpr std::uint8_t kDefaultMasterAddress = 240;  // 0xF0
// The F149 controller's flash write carries this in place of the slave address.
inline constexpr std::uint8_t kF149Address = 0xCA;
inline constexpr std::uint8_t kF149WriteCommand = 0x5A;
// L is one byte, so no request is longer than this.
inline constexpr std::size_t kMaxRequestLength = 255 + 5;
// The master holds L + 3 of a reply in one byte.
inline constexpr std::size_t kMaxReplyPayload = 252;

// 16-bit sum of the bytes, carry beyond 16 bits dropped.
std::uint16_t Checksum(std::span<const std::uint8_t> bytes);

// True when a packet whose first byte is `first` and whose command is
// `command` is meant for the meter at `address`: its own address, or 0xCA on
// the F149 flash write.
bool IsAddressedTo(std::uint8_t first, std::uint8_t command, std::uint8_t address);

// True when `frame` is one complete, well-formed request for the meter at
// `address`: L >= 1, length L + 5, right address, right checksum.
bool IsValidRequest(std::span<const std::uint8_t> frame, std::uint8_t address);

// Builds a request packet (for tests and tools that play the master).
std::vector<std::uint8_t> BuildRequest(std::uint8_t slave, std::uint8_t command, std::span<const std::uint8_t> data,
                                       std::uint8_t master = kDefaultMasterAddress);

// Builds a general-form reply: [master][L][payload][further][sum lo][sum hi].
// The payload must not exceed 255 bytes (callers keep it to kMaxReplyPayload).
std::vector<std::uint8_t> BuildReply(std::uint8_t master, std::span<const std::uint8_t> payload,
                                     std::uint8_t furtherByte);

// Little-endian field access on byte buffers.
inline std::uint16_t GetU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace q31::sim
