// The scan's line: identifications of one address after another through
// the plug-in's probe (q31_probe_id), each with its own time-out and no
// re-send.
//
// Every probe gets a session of its own. A session that has seen a packet
// time out holds back a packet to another address until that packet's
// answer could no longer come (two time-outs), which would triple the time
// of a scan over silent addresses; closing it ends that wait. The scan keeps
// its own rule for late answers instead (LineScan.h): here a probe only
// reports what it saw.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tools/q31/common/LineTrace.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool {

class ScanLink {
public:
    struct Probe {
        std::optional<SDevIdent> ident;  // an identification reply was accepted
        // Bytes came that were no accepted reply to this packet: read off
        // before it went, rejected, or cut short. Someone is on the line.
        bool stray = false;
    };

    // `line`: the options of the tool's line (echo, send limit); `trace`
    // sees every event of the line.
    ScanLink(PluginApi& api, PortHandle port, const q31_options& line, LineTrace& trace);

    // One identification of `address`, sent once, given up after
    // `timeoutMs`. With `confirmed`, the packet is sent again until two
    // replies in a row agree, and only then is the identity taken; a
    // time-out or a damaged reply still ends it.
    Probe Identify(std::uint8_t address, int timeoutMs, bool confirmed);

    // Returns once no byte has arrived for `quietMs`, dropping what comes
    // (at most eight such periods). False when the line never fell quiet.
    bool WaitQuiet(int quietMs);

private:
    static void Q31_CALL Traced(const TQ31TraceEvent* event, void* user);

    PluginApi& api_;
    PortHandle port_;
    q31_options line_;
    LineTrace& trace_;
    std::uint8_t address_ = 0;
    bool fault_ = false;  // bytes read off or a reply rejected during the probe
    bool bytes_ = false;  // bytes other than our echo arrived
};

}  // namespace q31::tool
