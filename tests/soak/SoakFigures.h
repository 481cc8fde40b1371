// What one soak segment (or a sum of them) counted.
#pragma once

#include <cstdint>

namespace q31::soak {

struct SoakFigures {
    std::uint64_t requests = 0;        // requests started and finished one way or another
    std::uint64_t refused = 0;         // an export returned other than 0 (never expected)
    std::uint64_t delivered = 0;       // a result callback came
    std::uint64_t messages = 0;        // an operator message came instead (a false mismatch)
    std::uint64_t stalled = 0;         // nothing came within the stall limit
    std::uint64_t valuesChecked = 0;   // values compared with the meter's content
    std::uint64_t wrongValues = 0;     // values that differ (or are missing, or extra)
    std::uint64_t wrongRequests = 0;   // requests with at least one wrong value
    std::uint64_t wrongBlind = 0;      // wrong values of requests that met a checksum-blind reply
    std::uint64_t wrongOther = 0;      // wrong values with no such excuse
    std::uint64_t wrongAfterLate = 0;  // wrong values of requests that met a late reply
    std::uint64_t packets = 0;         // request packets the meter accepted
    std::uint64_t corrupted = 0;       // replies with bytes changed at random
    std::uint64_t dropped = 0;         // replies never sent
    std::uint64_t late = 0;            // replies sent after the time-out
    std::uint64_t blind = 0;           // replies wrong but with a matching checksum
    double seconds = 0;
    bool contentChanged = false;  // the meter's memory differs from the model's at the end
    long rssKbAfter = -1;         // resident memory, kB, after the (last) segment was over

    void Add(const SoakFigures& o) {
        requests += o.requests;
        refused += o.refused;
        delivered += o.delivered;
        messages += o.messages;
        stalled += o.stalled;
        valuesChecked += o.valuesChecked;
        wrongValues += o.wrongValues;
        wrongRequests += o.wrongRequests;
        wrongBlind += o.wrongBlind;
        wrongOther += o.wrongOther;
        wrongAfterLate += o.wrongAfterLate;
        packets += o.packets;
        corrupted += o.corrupted;
        dropped += o.dropped;
        late += o.late;
        blind += o.blind;
        seconds += o.seconds;
        contentChanged = contentChanged || o.contentChanged;
        rssKbAfter = o.rssKbAfter;
    }
};

}  // namespace q31::soak
