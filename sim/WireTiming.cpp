#include "sim/WireTiming.h"

namespace q31::sim {

std::chrono::nanoseconds WireTiming::Time(std::size_t bytes) const {
    if (!Paced()) return std::chrono::nanoseconds(0);
    // Whole bit count first, one division at the end: no rounding error
    // piles up over a long reply. 2^64 ns is centuries, far beyond any packet.
    const std::uint64_t bits = static_cast<std::uint64_t>(bytes) * BitsPerByte();
    const std::uint64_t ns = (bits * 1000000000ull + baud_ - 1) / baud_;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

}  // namespace q31::sim
