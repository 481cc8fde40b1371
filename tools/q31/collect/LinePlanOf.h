// The line of a collector's meter entry: its port with the entry's line
// settings, or, for a port named sim:SEED, a virtual line with a virtual
// meter for every meter entry that names the port (the entry's simLine).
#pragma once

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/common/LinePlan.h"

namespace q31::tool::collect {

// `settings`: the first meter on the port, whose line settings (and, for a
// virtual line, whose sim table's delay and clock) the line takes.
LinePlan LinePlanOf(const MeterSettings& settings);

}  // namespace q31::tool::collect
