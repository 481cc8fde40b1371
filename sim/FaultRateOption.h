// A --fault-rate KIND:P[:PARAM] option of q31-sim.
#pragma once

#include "sim/Fault.h"

namespace q31::sim {

struct FaultRateOption {
    FaultKind kind = FaultKind::Silence;
    double probability = 0;
    int param = 0;
};

}  // namespace q31::sim
