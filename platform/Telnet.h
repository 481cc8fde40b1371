// The telnet and RFC 2217 (COM-PORT-OPTION) numbers, and what a client sends
// on the wire: its opening requests and its data with 0xFF doubled.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/LineSettings.h"

namespace q31::telnet {

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kComPort = 44;
// COM-PORT-OPTION sub-commands, client to server; the server answers with
// the same code plus kServerOffset.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kServerOffset = 100;

// Big enough for OpeningRequests and LineRequests whatever the settings.
constexpr std::size_t kRequestsCapacity = 96;

// BINARY both ways and WILL COM-PORT-OPTION; the server's DO COM-PORT-OPTION
// comes before the line's settings may be sent.
std::size_t OpeningRequests(std::uint8_t* out, std::size_t capacity);

// Speed, data size, parity, stop size, no flow control, DTR and RTS on.
// Returns 0 when `capacity` is short.
std::size_t LineRequests(const LineSettings& settings, std::uint8_t* out, std::size_t capacity);

// Copies data bytes from `in` to `out` with every 0xFF doubled, as many
// whole input bytes as fit; *consumed tells how many were taken. Returns the
// bytes written to `out`.
std::size_t EscapeData(const std::uint8_t* in, std::size_t count, std::uint8_t* out, std::size_t capacity,
                       std::size_t* consumed);

}  // namespace q31::telnet
