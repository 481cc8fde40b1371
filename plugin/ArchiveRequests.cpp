// The archive requests: the archive counters and the twelve hourly and daily
// series of one module.
#include "plugin/TFXB.h"

namespace q31 {

std::uint8_t TFXB::GetArhiveCount(const SDevIdent* dev) { return BeginRequest(dev); }

std::uint8_t TFXB::GetArhiveSeries(int, const SDevIdent* dev, std::uint8_t module, std::uint32_t start) {
    // Module and start are kept before any check, also for a refused call.
    ArhiveModule = static_cast<std::uint8_t>(module - 1);
    ArhiveStart = start;
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    if (module < 1 || module > 6) return kBadArgument;
    return kStarted;
}

}  // namespace q31
