// Runs host requests against the plug-in's form, on the in-process line and
// a manual clock, and checks every result against the meter model: either
// one fuzz input as a session, where a finding ends the process with
// abort() and a report on standard error, or a scripted line, where each
// request's ending is counted (the lateness sweep).
//
// A request may fail (no result: its packet ran out of sends, or it never
// ended) only where the line misbehaved; a result the host is handed must
// be the meter's in every value, and must rest on replies the meter sent to
// the packets they were taken for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/MeterAnswers.h"
#include "fuzz/PlanSource.h"
#include "fuzz/SessionRequest.h"
#include "link/ConfirmMode.h"

namespace q31::fuzz {

// How the host has set up the line and the link.
struct LineSetup {
    bool echo = false;
    int timeOutMs = 100;
    ConfirmMode confirm = ConfirmMode::Off;
    // Re-sends of one packet before the request fails, as the context API
    // bounds them; 0: without limit, as the slot API sends.
    int sendLimit = 0;
    // The meter (or a gateway in front of it) answers each packet when its
    // own delay says, so that the answer to a re-send may come before the
    // late answer to the first send; otherwise one reply at a time, in turn.
    bool outOfOrder = false;
};

// How the requests of a measured session ended.
struct SessionCounts {
    int right = 0;   // the host got the meter's data
    int wrong = 0;   // the host got data the meter does not hold, or data from a frame not sent for its packet
    int failed = 0;  // no result: out of sends, or not ended when the measurement gave up on it
};

class SessionDriver {
public:
    // The virtual meter every session talks to: default identity and
    // content, archive counters just past the end of both rings, so that a
    // short read crosses the rings' end.
    static sim::MeterConfig MeterSetup();

    explicit SessionDriver(MeterAnswers& meter) : meter_(meter) {}

    // One fuzz input; a finding aborts.
    void Run(const std::uint8_t* data, std::size_t size);

    // `requests` one after another in one session on a line that `plans`
    // shapes; a request with no result `giveUpTimeOuts` time-outs after it
    // started is left for the next (a line that never answers well would
    // hold the slot API's requests for ever). Q31_SESSION_TRACE=1 tells why
    // each request that went wrong or failed did.
    SessionCounts Measure(const LineSetup& setup, PlanSource& plans, std::span<const SessionRequest> requests,
                          int giveUpTimeOuts);

private:
    MeterAnswers& meter_;
};

}  // namespace q31::fuzz
