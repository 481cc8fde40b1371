// What every soak request must deliver, worked out from the virtual meter's
// own content: a second meter model made from the same configuration (never
// the line's meter, never anything the library returned), the archive and
// log content functions, and the record layouts the host sees.
//
// A result is a list of values, each a whole field as the host gets it
// (a 32- or 64-bit value, a head word, an 8-byte half of a log record), so
// that wrong values are counted in the same unit for every request.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/MeterConfig.h"
#include "sim/MeterModel.h"
#include "tests/soak/SoakRequest.h"

namespace q31::soak {

class ExpectedContent {
public:
    explicit ExpectedContent(const sim::MeterConfig& config);

    std::vector<std::uint64_t> For(const SoakRequest& request) const;

    // Whether the line's meter still holds what this model holds (the soak
    // only reads, so nothing may have changed it).
    bool SameMemoryAs(const sim::MeterModel& live) const;

private:
    std::vector<std::uint64_t> Series(const SoakRequest& request) const;
    std::span<const std::uint8_t> Ram(std::uint32_t address, std::size_t count) const;
    std::uint16_t PointerWord(std::size_t word) const;

    sim::MeterConfig config_;
    sim::MeterModel model_;
};

}  // namespace q31::soak
