// How the line to a PtyMeter behaves.
#pragma once

#include "sim/WireTiming.h"

namespace q31::sim {

struct PtyMeterOptions {
    bool echo = false;     // send every received byte back before answering
    int replyDelayMs = 0;  // a slow meter: every reply waits this long
    int idleGapMs = 100;   // silence after which an unfinished packet is given up
    // A line at a real speed: requests are heard, and echo and replies go
    // out, no faster than the wire carries them. Default: not paced, every
    // byte passes at once.
    WireTiming wire;
};

}  // namespace q31::sim
