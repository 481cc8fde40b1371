// A meter's hourly energy on the status page: an inline SVG bar chart of the
// consumption per hour, the difference between consecutive records of the
// cumulative register.
#pragma once

#include <string>
#include <vector>

#include "tools/q31/status/ChartPoint.h"

namespace q31::tool::forward {

// One bar per pair of consecutive records of `points` (a hole in the records
// leaves its hours without a bar), in the newest record's unit ("raw" when it
// has no quantity: steps of the register itself); the largest step is
// written above the bars and the newest below. `module` is the one they are of.
std::string EnergyChart(const std::string& meter, const std::vector<ChartPoint>& points, int module);

}  // namespace q31::tool::forward
