// The virtual meter's the error-log and edit-log areas in both layouts.
#pragma once

namespace q31::sim {

class MeterModel;
struct MeterConfig;

// Fills the memory for these features and installs their command handlers.
void InstallLogContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
