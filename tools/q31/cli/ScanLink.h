// The scan's line: identifications of one address after another through
// the link component, each with its own time-out and no re-send.
//
// Every probe gets a link of its own. A link that has seen a packet time out
// holds back a packet to another address until that packet's answer could
// no longer come (two time-outs), which would triple the time of a scan over
// silent addresses. The scan keeps its own rule for late answers instead
// (ScanCommand.cpp): here a probe only reports what it saw.
#pragma once

#include <cstdint>
#include <optional>

#include "link/SIDDevice.h"
#include "link/TPublicNetKs.h"
#include "platform/SerialPort.h"
#include "serial/TPublicDevCom.h"
#include "tools/q31/common/LineTrace.h"

namespace q31::tool {

class ScanLink {
public:
    struct Probe {
        std::optional<SIDDevice> ident;  // an identification reply was accepted
        // Bytes came that were no accepted reply to this packet: read off
        // before it went, rejected, or cut short. Someone is on the line.
        bool stray = false;
    };

    // `trace` sees every event of the line.
    ScanLink(PortHandle port, bool echo, LineTrace& trace);
    ~ScanLink();
    ScanLink(const ScanLink&) = delete;
    ScanLink& operator=(const ScanLink&) = delete;

    // One identification of `address`, sent once, given up after
    // `timeoutMs`. With `confirmed`, the packet is sent again until two
    // replies in a row agree, and only then is the identity taken; a
    // time-out or a damaged reply still ends it.
    Probe Identify(std::uint8_t address, int timeoutMs, bool confirmed);

    // Returns once no byte has arrived for `quietMs`, reading off what comes
    // (at most eight such periods). False when the line never fell quiet.
    bool WaitQuiet(int quietMs);

private:
    void Trace(const TQ31TraceEvent& event);
    void Identified(SIDDevice* ident);
    void Ended(TComponent* sender);

    TPublicDevCom channel_;
    std::optional<TPublicNetKs> link_;
    LineTrace& trace_;
    bool echo_;
    bool done_ = false;
    bool fault_ = false;  // bytes read off or a reply rejected during the probe
    bool bytes_ = false;  // bytes other than our echo arrived
    Probe probe_;
};

}  // namespace q31::tool
