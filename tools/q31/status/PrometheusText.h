// /metrics: the status in the Prometheus text format (version 0.0.4).
#pragma once

#include <string>

#include "tools/q31/status/StatusSnapshot.h"

namespace q31::tool::forward {

// Every meter's families, then (when there are sinks) every sink's; each
// sample labelled with `gateway`.
std::string PrometheusText(const StatusSnapshot& snapshot, const std::string& gateway);

}  // namespace q31::tool::forward
