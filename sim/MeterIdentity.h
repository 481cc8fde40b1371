// The 14-byte identification record the meter sends in answer to 0x0F.
#pragma once

#include <array>
#include <cstdint>

#include "sim/MeterLayout.h"
#include "sim/SimFrame.h"

namespace q31::sim {

struct MeterIdentity {
    std::uint16_t devType = kDeviceType;
    std::uint16_t versionWord = kDefaultVersionWord;  // IdWord2
    std::array<std::uint8_t, 4> idBytes4{};           // not interpreted by the master
    std::uint32_t serialNumber = kDefaultSerialNumber;
    std::uint16_t idWord12 = 0;

    // The record as it goes on the line, little-endian.
    std::array<std::uint8_t, 14> Encode() const {
        std::array<std::uint8_t, 14> out{};
        PutU16(&out[0], devType);
        PutU16(&out[2], versionWord);
        for (int i = 0; i < 4; ++i) out[4 + i] = idBytes4[i];
        PutU32(&out[8], serialNumber);
        PutU16(&out[12], idWord12);
        return out;
    }
};

}  // namespace q31::sim
