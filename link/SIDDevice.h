#pragma once

#include <cstdint>

namespace q31 {

#pragma pack(push, 1)
// The identification record exactly as the meter sends it (little-endian).
struct SIDDevice {
    std::uint16_t DevType;     // high byte selects the model text
    std::uint16_t IdWord2;     // version word; picks memory layouts
    std::uint8_t IdBytes4[4];  // not interpreted
    std::uint32_t SerialNumber;
    std::uint16_t IdWord12;  // passed on unchanged
};
#pragma pack(pop)
static_assert(sizeof(SIDDevice) == 14, "the meter sends 14 identification bytes");

}  // namespace q31
