// The virtual meter's the live records the RAM pointer words name, the module totals and the all-totals area.
#pragma once

namespace q31::sim {

class MeterModel;
struct MeterConfig;

// Fills the memory for these features and installs their command handlers.
void InstallTotalsContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
