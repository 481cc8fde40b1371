// The virtual meter's pseudo-random source.
//
// splitmix64: tiny, fast, and the same sequence on every compiler and
// platform, so a seed names one meter content and one fault pattern anywhere.
// (The standard distributions are not portable across libraries; only raw
// 64-bit outputs are used here.)
#pragma once

#include <cstdint>

namespace q31::sim {

class SimRandom {
public:
    explicit SimRandom(std::uint64_t seed = 0) : state_(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    std::uint8_t NextByte() { return static_cast<std::uint8_t>(Next() >> 56); }

    // Uniform in [0, bound); 0 when bound is 0.
    std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }

    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    std::uint64_t state_;
};

}  // namespace q31::sim
