#include "sim/TotalsContent.h"

#include "sim/MeterConfig.h"
#include "sim/MeterModel.h"

namespace q31::sim {

void InstallTotalsContent(MeterModel&, const MeterConfig&) {}

}  // namespace q31::sim
