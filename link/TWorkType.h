#pragma once

#include <cstdint>

namespace q31 {

// The kind of line the link runs on; only wtIrDA changes behaviour (the
// null-byte preamble is sent once, before the first packet only).
enum TWorkType : std::uint8_t { wtNet4800, wtNet115200, wtIrDA, wtModem, wtNet9600 };

}  // namespace q31
