// One host request of a session, as the input chose it.
#pragma once

#include <cstdint>

#include "plugin/RequestCodes.h"

namespace q31::fuzz {

struct SessionRequest {
    RequestId kind = RequestId::ID;
    std::uint8_t number = 0;     // module, or block of the device error log
    std::uint8_t number2 = 0;    // block of a module error log
    std::uint8_t startBack = 0;  // archive start: counter minus this (see SessionInput)
    bool wrongDevType = false;   // the host's record names another device type
    bool wrongSerial = false;    // the host's record names another meter

    // 0..11 for an archive series: Time, Stop, T, U, M, E hourly, then daily.
    int Series() const { return ArchiveSeriesOf(kind); }
    static const char* Name(RequestId kind) { return ExportNameOf(kind); }
};

}  // namespace q31::fuzz
