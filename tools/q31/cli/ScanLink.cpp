#include "tools/q31/cli/ScanLink.h"

#include <chrono>

#include "runtime/MessageLoop.h"

namespace q31::tool {

namespace {
constexpr int kPumpSliceMs = 20;
// Beyond its time-outs, what one probe may take in all (send delay, reads
// handed over, a confirming send) before it is given up anyway.
constexpr int kSlackMs = 1000;
constexpr int kQuietPeriods = 8;
}  // namespace

ScanLink::ScanLink(PortHandle port, bool echo, LineTrace& trace)
    : channel_(nullptr, MessageLoop::Main()), trace_(trace), echo_(echo) {
    channel_.ComHandle = port;
    channel_.EchoRead = echo;
}

ScanLink::~ScanLink() {
    if (link_) link_->BreakTransmit();
    channel_.AbortRead();
}

ScanLink::Probe ScanLink::Identify(std::uint8_t address, int timeoutMs, bool confirmed) {
    if (link_) link_->BreakTransmit();
    channel_.AbortRead();
    link_.emplace(nullptr, MessageLoop::Main());
    TPublicNetKs& link = *link_;
    link.DeviceComm = &channel_;
    link.SetSlaveNetAddress(address);
    link.SetReceiving_back(echo_);
    link.SetTimeOut(timeoutMs);
    link.SetTimePackage(10);
    link.NullByteEnabled = false;
    link.Repetition = false;
    link.ReadConfirmation = confirmed ? ConfirmMode::Always : ConfirmMode::Off;
    link.OnReceivedIDDevice = Delegate<void(SIDDevice*)>::Bind<&ScanLink::Identified>(this);
    link.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&ScanLink::Ended>(this);
    link.OnFalseCRC = TPublicNetKs::SenderEvent::Bind<&ScanLink::Ended>(this);
    link.OnTrace = TPublicNetKs::TraceEvent::Bind<&ScanLink::Trace>(this);

    done_ = false;
    fault_ = bytes_ = false;
    probe_ = {};
    link.GetDeviceID();
    const int sends = confirmed ? 2 : 1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(sends * timeoutMs + kSlackMs);
    while (!done_ && std::chrono::steady_clock::now() < end) MessageLoop::Main().Pump(kPumpSliceMs);
    if (!done_) {
        // Replies that kept disagreeing, or a line that never fell quiet.
        link.BreakTransmit();
        channel_.AbortRead();
        probe_.ident.reset();
        fault_ = true;
    }
    probe_.stray = fault_ || (!probe_.ident && bytes_);
    return probe_;
}

bool ScanLink::WaitQuiet(int quietMs) {
    for (int i = 0; i < kQuietPeriods; ++i) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(quietMs);
        while (std::chrono::steady_clock::now() < end) MessageLoop::Main().Pump(kPumpSliceMs);
        if (channel_.ClearBuf() == 0) return true;
    }
    return false;
}

void ScanLink::Trace(const TQ31TraceEvent& event) {
    trace_.Record(event);
    switch (event.kind) {
        case Q31_TRACE_DISCARDED:
        case Q31_TRACE_REJECTED: fault_ = true; break;
        case Q31_TRACE_READ:
            // The echo of our own packet is the first read of a line that
            // echoes; anything else that came and was not accepted is
            // someone's answer.
            if (event.length > 0 && !(echo_ && event.bytes && event.bytes[0] == link_->GetSlaveNetAddress()))
                bytes_ = true;
            break;
        default: break;
    }
}

void ScanLink::Identified(SIDDevice* ident) {
    probe_.ident = *ident;
    done_ = true;
}

void ScanLink::Ended(TComponent*) {
    probe_.ident.reset();
    done_ = true;
}

}  // namespace q31::tool
