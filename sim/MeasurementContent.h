// The virtual meter's measurement and calibration commands 0x80 to 0x86.
#pragma once

namespace q31::sim {

class MeterModel;
struct MeterConfig;

// Fills the memory for these features and installs their command handlers.
void InstallMeasurementContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
