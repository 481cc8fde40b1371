// Command line of the q31-sim program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/FaultRateOption.h"
#include "sim/MeterConfig.h"
#include "sim/PtyMeterOptions.h"

namespace q31::sim {

struct SimOptions {
    MeterConfig meter;
    PtyMeterOptions line;
    std::vector<FaultRateOption> faultRates;
    int seconds = 0;       // > 0: serve this long, stdin ignored; 0: serve until stdin ends
    bool verbose = false;  // one line per request on stderr
    bool help = false;
};

// Parses argv[1..argc-1]. Returns false with a message in `error` on a bad
// argument. Numbers may be decimal or 0x-prefixed hexadecimal.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);

std::string SimUsage();

}  // namespace q31::sim
