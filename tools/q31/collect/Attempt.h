// One attempt at a meter: a pass over it, or a port that could not be had.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace q31::tool::collect {

struct Attempt {
    std::string meter;
    std::uint32_t serialExpected = 0;
    std::optional<std::uint32_t> serialFound;  // of the meter that answered, if one did
    std::int64_t startedAt = 0;                // Unix seconds
    std::int64_t endedAt = 0;
    // "ok", "no answer", "other meter", "port error", "port busy", or
    // "error" for anything else (a request the plug-in refused, a ring the
    // meter kept writing while it was read).
    std::string outcome;
    std::string message;
    int packets = 0;  // written, re-sends included
    int resends = 0;
    int rejectedChecksum = 0;  // replies thrown away for a bad checksum
    int rejectedOther = 0;     // ... for another reason (address, length, confirmation)
    int timeouts = 0;          // packets without an accepted reply in time
    std::int64_t run = 0;
};

}  // namespace q31::tool::collect
