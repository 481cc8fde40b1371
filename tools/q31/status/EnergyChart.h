// A meter's hourly energy on the status page: an inline SVG line chart.
#pragma once

#include <string>
#include <vector>

#include "tools/q31/status/ChartPoint.h"

namespace q31::tool::forward {

// The values as a line over their records (a hole in the records shows as a
// longer step), the largest value written above it and the smallest below;
// `module` is the one they are of.
std::string EnergyChart(const std::string& meter, const std::vector<ChartPoint>& points, int module);

}  // namespace q31::tool::forward
