// When read packets are confirmed: sent again and their data taken only
// when two consecutive replies agree.
#pragma once

#include <cstdint>

#include "publicQ31.h"

namespace q31 {

enum class ConfirmMode : std::uint8_t {
    // Every reply is taken as it comes.
    Off = Q31_CONFIRM_OFF,
    // Every read is confirmed: it also catches a line or meter that corrupts
    // data without ever failing a checksum.
    Always = Q31_CONFIRM_ALWAYS,
    // Reads are confirmed only while the line has shown a fault recently
    // (see TPublicNetKs::kAutoConfirmPackets): random noise costs confirmed
    // reads only where it strikes.
    Auto = Q31_CONFIRM_AUTO,
};

}  // namespace q31
