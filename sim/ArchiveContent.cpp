#include "sim/ArchiveContent.h"

#include "sim/MeterConfig.h"
#include "sim/MeterModel.h"

namespace q31::sim {

void InstallArchiveContent(MeterModel&, const MeterConfig&) {}

}  // namespace q31::sim
