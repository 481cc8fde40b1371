#include "tools/q31/cli/ScanLink.h"

#include <chrono>

#include "support/HostPort.h"
#include "tools/q31/cli/LineSession.h"
#include "tools/q31/common/PendingCall.h"

namespace q31::tool {

namespace {
constexpr int kPumpSliceMs = 20;
// Beyond its time-outs, what one probe may take in all (send delay, reads
// handed over, a confirming send) before it is given up anyway.
constexpr int kSlackMs = 1000;
constexpr int kQuietPeriods = 8;
}  // namespace

ScanLink::ScanLink(PluginApi& api, PortHandle port, const q31_options& line, LineTrace& trace)
    : api_(api), port_(port), line_(line), trace_(trace) {}

ScanLink::Probe ScanLink::Identify(std::uint8_t address, int timeoutMs, bool confirmed) {
    q31_options options = line_;
    options.slave_address = address;
    options.timeout_ms = timeoutMs;
    options.confirm = confirmed ? Q31_CONFIRM_ALWAYS : Q31_CONFIRM_OFF;
    address_ = address;
    fault_ = bytes_ = false;
    Probe probe;
    LineSession session(api_, port_, options, &ScanLink::Traced, this);
    PendingCall call;
    const int status = api_.probe_id(session.Handle(), &PendingCall::OnIdent, &call);
    const int sends = confirmed ? 2 : 1;
    if (status != Q31_OK || !session.Await(call, sends * timeoutMs + kSlackMs)) {
        // Replies that kept disagreeing, or a line that never fell quiet.
        fault_ = true;
    } else if (call.Result().status == Q31_OK) {
        probe.ident = call.As<SDevIdent>();
    }
    probe.stray = fault_ || (!probe.ident && bytes_);
    return probe;
}

bool ScanLink::WaitQuiet(int quietMs) {
    for (int i = 0; i < kQuietPeriods; ++i) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(quietMs);
        while (std::chrono::steady_clock::now() < end) api_.PumpMessages(kPumpSliceMs);
        if (DiscardHostPortInput(port_) <= 0) return true;
    }
    return false;
}

void Q31_CALL ScanLink::Traced(const TQ31TraceEvent* event, void* user) {
    ScanLink& self = *static_cast<ScanLink*>(user);
    self.trace_.Record(*event);
    switch (event->kind) {
        case Q31_TRACE_DISCARDED:
        case Q31_TRACE_REJECTED: self.fault_ = true; break;
        case Q31_TRACE_READ:
            // The echo of our own packet is the first read of a line that
            // echoes; anything else that came and was not accepted is
            // someone's answer.
            if (event->length > 0 && !(self.line_.echo && event->bytes && event->bytes[0] == self.address_))
                self.bytes_ = true;
            break;
        default: break;
    }
}

}  // namespace q31::tool
