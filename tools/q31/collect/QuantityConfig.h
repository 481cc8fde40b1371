// The [quantity.X] tables of the collector's file, and a meter's own
// [meter.quantity.X] over them.
#pragma once

#include <string>

#include <toml++/toml.h>

#include "tools/q31/common/Quantity.h"

namespace q31::tool::collect {

// The quantities in force for one meter: for each letter, the keys of the
// meter's own table over those of the global one. `global` and `own` may be
// null (no such table); `where` names the place in messages ("quantity",
// "meter 2 (\"north\")"). Throws ToolError (kExitBadArgument) at the value at fault.
QuantityMap ReadQuantities(const std::string& path, const toml::node* global, const toml::node* own,
                           const std::string& where);

}  // namespace q31::tool::collect
