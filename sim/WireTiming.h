// How long bytes take on an asynchronous serial line.
//
// Each byte is framed as one start bit, eight data bits, an optional parity
// bit and one or two stop bits; at N baud a byte therefore lasts that many
// bits divided by N seconds, and B bytes sent back to back last B times as
// long. Times are rounded up to the next nanosecond: a paced line may be a
// hair slower than the real one, never faster.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace q31::sim {

enum class Parity { None, Even, Odd };

class WireTiming {
public:
    // Not paced: every time is zero.
    WireTiming() = default;
    WireTiming(std::uint32_t baud, Parity parity = Parity::None, unsigned stopBits = 1)
        : baud_(baud), parity_(parity), stopBits_(stopBits == 2 ? 2u : 1u) {}

    bool Paced() const { return baud_ > 0; }
    std::uint32_t Baud() const { return baud_; }
    Parity ParityMode() const { return parity_; }
    unsigned StopBits() const { return stopBits_; }

    // Start bit, data bits, parity bit if any, stop bits.
    unsigned BitsPerByte() const { return 1 + 8 + (parity_ == Parity::None ? 0 : 1) + stopBits_; }

    // The time `bytes` bytes take on the wire, back to back.
    std::chrono::nanoseconds Time(std::size_t bytes) const;
    std::chrono::nanoseconds ByteTime() const { return Time(1); }

private:
    std::uint32_t baud_ = 0;
    Parity parity_ = Parity::None;
    unsigned stopBits_ = 1;
};

}  // namespace q31::sim
