#include "sim/LogContent.h"

#include "sim/MeterConfig.h"
#include "sim/MeterModel.h"

namespace q31::sim {

void InstallLogContent(MeterModel&, const MeterConfig&) {}

}  // namespace q31::sim
