// How the line to a PtyMeter behaves.
#pragma once

namespace q31::sim {

struct PtyMeterOptions {
    bool echo = false;        // send every received byte back before answering
    int replyDelayMs = 0;     // a slow meter: every reply waits this long
    int idleGapMs = 100;      // silence after which an unfinished packet is given up
};

}  // namespace q31::sim
