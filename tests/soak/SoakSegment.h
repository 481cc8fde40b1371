// One stretch of the soak: a fresh virtual meter on its own pseudo-terminal,
// the line's echo on or off, confirmed reads off, always or auto, faults at fixed rates,
// and a number of requests drawn from RequestMix, each checked against
// ExpectedContent as soon as its result (or anything else) comes.
#pragma once

#include <cstdint>

#include "publicQ31.h"
#include "tests/soak/SoakFigures.h"

namespace q31::soak {

struct SegmentSettings {
    bool echo = false;
    std::uint8_t confirm = Q31_CONFIRM_OFF;  // Q31_CONFIRM_OFF, _ALWAYS or _AUTO
    std::uint64_t requests = 100;
    std::uint64_t seed = 1;
    int timeoutMs = 60;
    int stallMs = 30000;  // a request with nothing after this long is given up
    // Fault rates, per reply; a late reply comes lateMs after the request,
    // well past the time-out (and past the re-send).
    double corruptRate = 0.03;  // two random bytes changed; the checksum almost always sees it
    double dropRate = 0.03;
    double lateRate = 0.04;
    int lateMs = 100;
    double blindRate = 0.005;  // two payload bytes swapped; the checksum cannot see it
    int reportWrong = 5;       // wrong requests described on stderr
};

// "off", "always" or "auto".
const char* ConfirmName(std::uint8_t confirm);

class SoakSegment {
public:
    explicit SoakSegment(const SegmentSettings& settings) : settings_(settings) {}
    SoakFigures Run();

private:
    SegmentSettings settings_;
};

}  // namespace q31::soak
