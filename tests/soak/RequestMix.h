// The soak's request stream: a seeded draw over every export, with module,
// block and archive start numbers over their whole accepted ranges, and a
// way to start a drawn request through the exported C API.
//
// Archive series mostly ask for the last few dozen records (one or two
// packets), sometimes for a few hundred, and now and then for the whole
// ring from record 0, so that long transfers across the ring's end are in
// the mix without making every request long.
#pragma once

#include <cstdint>

#include "publicQ31.h"
#include "sim/MeterConfig.h"
#include "sim/SimRandom.h"
#include "tests/soak/SoakRequest.h"

namespace q31::soak {

class RequestMix {
public:
    RequestMix(std::uint64_t seed, const sim::MeterConfig& config);

    SoakRequest Next();

    // Calls the request's export; returns its status byte.
    static std::uint8_t Start(const SoakRequest& request, const SDevIdent& dev);

private:
    std::uint32_t Between(std::uint32_t low, std::uint32_t high);  // inclusive
    std::uint32_t SeriesStart(bool hourly);

    sim::SimRandom random_;
    std::uint32_t hourCount_;
    std::uint32_t dayCount_;
};

}  // namespace q31::soak
