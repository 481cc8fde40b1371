// The service tool's line to the meter: a session of the plug-in on the
// tool's port, its service commands (q31_service), and a bounded wait for
// each command's outcome.
//
// The plug-in sends every packet of a service command once: a meter that
// does not answer, or answers with a damaged packet, ends the command at
// once instead of having it sent again without end, so the engineer learns
// of it. Reads are not confirmed (whatever --confirm says): the replies are
// live measurements, and two readings of the pressure ADC seldom agree, so a
// confirmed one would never be taken.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tools/q31/cli/LineSession.h"
#include "tools/q31/common/LineTrace.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool {

class ServiceLink {
public:
    enum class Outcome : std::uint8_t {
        Reply,     // the reply is in Reply()
        NoAnswer,  // the time-out passed without a whole reply
        Damaged,   // a reply came with a bad checksum or a bad length
        NotSent,   // the plug-in refused to frame the command
    };

    // `options`: the tool's line; `trace` sees every event of the line.
    ServiceLink(PluginApi& api, PortHandle port, const q31_options& options, LineTrace& trace);

    // Runs `command` (Q31_SERVICE_...) with its numbers and waits until its
    // reply comes, or its time-out or a damaged reply ends it. `packets` is
    // how many exchanges the command makes, for the upper bound of the wait.
    Outcome Run(std::uint32_t command, std::uint32_t first, std::uint32_t second, int packets = 1);

    // The bytes of the last reply (the acknowledgement byte, or the data).
    const std::vector<std::uint8_t>& Reply() const { return reply_; }
    // After Q31_SERVICE_ADC: the RAM addresses of values 0-7 and 8-15.
    const std::uint16_t* ValuePointers() const { return valuePointers_; }

private:
    static void Q31_CALL Traced(const TQ31TraceEvent* event, void* user);

    PluginApi& api_;
    LineTrace& trace_;
    int timeoutMs_;
    LineSession session_;
    bool rejected_ = false;  // a reply was rejected during the command
    std::vector<std::uint8_t> reply_;
    std::uint16_t valuePointers_[2] = {};
};

}  // namespace q31::tool
