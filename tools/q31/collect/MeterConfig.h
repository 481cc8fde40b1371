// A [[meter]] entry of the configuration, with [defaults] behind it, and its
// virtual meter's [meter.sim] table.
#pragma once

#include <cstdint>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/ConfigReader.h"

namespace q31::tool::collect {

// `confirm`: the [collect] table's mode, for a meter that names none.
MeterSettings ReadMeter(const ConfigReader& r, std::uint8_t confirm);

// `confirm` of the table `r` reads, else `fallback`.
std::uint8_t ConfirmOf(const ConfigReader& r, std::uint8_t fallback);

}  // namespace q31::tool::collect
