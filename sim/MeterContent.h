// The virtual meter's memory content, made from a seed.
//
// Everything is pseudo-random except the structures the master looks for:
// the module block at RAM 0xFE00 (module count at byte 35) and the RAM-pointer
// record at flash 16, whose words point into RAM slots clear of that block.
// The F149 controller's flash starts erased.
#pragma once

#include <cstdint>

#include "sim/MeterMemory.h"

namespace q31::sim {

void FillMeterContent(MeterMemory& memory, std::uint64_t seed, std::uint8_t moduleCount);

}  // namespace q31::sim
