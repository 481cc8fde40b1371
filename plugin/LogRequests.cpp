// The error-log and edit-log requests.
#include "plugin/TFXB.h"

namespace q31 {

namespace {
bool InRange(std::uint8_t n, std::uint8_t last) { return n >= 1 && n <= last; }
}  // namespace

std::uint8_t TFXB::GetErrorHDev(const SDevIdent* dev) { return BeginRequest(dev); }

std::uint8_t TFXB::GetErrorHModule(const SDevIdent* dev, std::uint8_t module) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return InRange(module, 8) ? kStarted : kBadArgument;
}

std::uint8_t TFXB::GetErrorDataDev(const SDevIdent* dev, std::uint8_t block) {
    ReqNumber = static_cast<std::uint8_t>(block - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return InRange(block, 8) ? kStarted : kBadArgument;
}

std::uint8_t TFXB::GetErrorDataModule(const SDevIdent* dev, std::uint8_t module, std::uint8_t block) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    ReqNumber2 = static_cast<std::uint8_t>(block - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return InRange(module, 6) && InRange(block, 5) ? kStarted : kBadArgument;
}

std::uint8_t TFXB::GetEditHModule(const SDevIdent* dev, std::uint8_t module) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return InRange(module, 8) ? kStarted : kBadArgument;
}

std::uint8_t TFXB::GetEditDataModule(const SDevIdent* dev, std::uint8_t module) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return InRange(module, 8) ? kStarted : kBadArgument;
}

}  // namespace q31
