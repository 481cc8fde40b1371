// The virtual meter's the archive counters, both archive layouts and the commands 0x90 and 0x91.
#pragma once

namespace q31::sim {

class MeterModel;
struct MeterConfig;

// Fills the memory for these features and installs their command handlers.
void InstallArchiveContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
