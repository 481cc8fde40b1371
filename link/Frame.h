// The packet frame of the meter link, as pure functions.
//
// Request: [slave][L][command][L-1 data bytes][master][sum lo][sum hi]
// Reply:   [master][L][L payload bytes][one further byte][sum lo][sum hi]
// L counts the command byte and the data; the sum is the 16-bit total of
// every byte before it. Multi-byte values travel low byte first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q31::frame {

// Largest payload a reply can carry: L + 3 must fit the one-byte body length.
constexpr int kMaxReplyPayload = 252;
// Length of a request carrying `dataBytes` after the command byte.
constexpr std::size_t RequestLength(std::size_t dataBytes) { return dataBytes + 6; }

// 16-bit sum of `count` bytes, carry beyond 16 bits dropped.
std::uint16_t Checksum(const std::uint8_t* data, std::size_t count);

// True when the 16-bit little-endian value right behind `count` bytes equals their sum.
bool ChecksumMatches(const std::uint8_t* data, std::size_t count);

inline void PutLe16(std::uint8_t* at, std::uint16_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLe32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t GetLe16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | (at[1] << 8)); }
inline std::uint32_t GetLe32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
           (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

// Builds a request into `out` (capacity `capacity`). Returns its length, or 0
// when L would not fit its byte or the packet would not fit `out`.
std::size_t BuildRequest(std::uint8_t* out, std::size_t capacity, std::uint8_t first, std::uint8_t command,
                         const std::uint8_t* data, std::size_t dataBytes, std::uint8_t master);

}  // namespace q31::frame
