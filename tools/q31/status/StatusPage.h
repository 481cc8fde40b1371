// The status page at /: every meter's state with its hourly energy chart,
// and the sinks' backlog, for a person at a browser.
#pragma once

#include <cstdint>
#include <string>

#include "tools/q31/status/StatusSnapshot.h"

namespace q31::tool::forward {

// The page as of `now` (Unix time; the ages of the last good reads).
std::string StatusPage(const StatusSnapshot& snapshot, const std::string& gateway, std::int64_t now);

}  // namespace q31::tool::forward
