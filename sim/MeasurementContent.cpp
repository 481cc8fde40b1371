#include "sim/MeasurementContent.h"

#include "sim/MeterConfig.h"
#include "sim/MeterModel.h"

namespace q31::sim {

void InstallMeasurementContent(MeterModel&, const MeterConfig&) {}

}  // namespace q31::sim
