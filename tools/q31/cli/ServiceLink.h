// The service tool's line to the meter: the serial channel and the heat-meter
// component on one port, and a bounded wait for each command's outcome.
//
// Repetition is off: a meter that does not answer, or answers with a damaged
// packet, ends the command at once instead of having it sent again without
// end, so the engineer learns of it. Reads are not confirmed (whatever
// --confirm says): the replies are live measurements, and two readings of the
// pressure ADC seldom agree, so a confirmed one would never be taken.
#pragma once

#include <cstdint>
#include <vector>

#include "meter/TPublicNetKs_6x6.h"
#include "platform/SerialPort.h"
#include "serial/TPublicDevCom.h"
#include "tools/q31/common/LineTrace.h"

namespace q31::tool {

struct ServiceLinkOptions {
    bool echo = false;           // the line returns every byte sent
    int timeoutMs = 2000;        // reply time-out of one packet
    std::uint8_t address = 201;  // the meter's address on the line
};

class ServiceLink {
public:
    enum class Outcome : std::uint8_t {
        Reply,     // the reply is in Reply()
        NoAnswer,  // the time-out passed without a whole reply
        Damaged,   // a reply came with a bad checksum or a bad length
        NotSent,   // the component refused to frame the command
    };

    // `trace` (when given) sees every event of the line.
    ServiceLink(PortHandle port, const ServiceLinkOptions& options, LineTrace* trace = nullptr);
    ~ServiceLink();
    ServiceLink(const ServiceLink&) = delete;
    ServiceLink& operator=(const ServiceLink&) = delete;

    TPublicNetKs_6x6& Meter() { return meter_; }

    // Runs `start` (a command of Meter(); false: nothing was sent) and pumps
    // until its reply comes, or its time-out or a damaged reply ends it.
    // `packets` is how many exchanges the command makes, for the upper bound
    // of the wait.
    template <typename Start>
    Outcome Run(Start start, int packets = 1) {
        Begin();
        if (!start()) return Outcome::NotSent;
        return Wait(packets);
    }

    // The bytes of the last reply (the acknowledgement byte, or the data).
    const std::vector<std::uint8_t>& Reply() const { return reply_; }

private:
    void Begin();
    Outcome Wait(int packets);
    void Executed(short Length, char* Buffer);
    void TimedOut(TComponent* sender);
    void Damaged(TComponent* sender);

    TPublicDevCom channel_;
    TPublicNetKs_6x6 meter_;
    int timeoutMs_;
    bool done_ = false;
    Outcome outcome_ = Outcome::NoAnswer;
    std::vector<std::uint8_t> reply_;
};

}  // namespace q31::tool
