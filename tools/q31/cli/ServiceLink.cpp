#include "tools/q31/cli/ServiceLink.h"

#include <chrono>

#include "runtime/MessageLoop.h"

namespace q31::tool {

namespace {
// Beyond the time-outs of its packets, what a command may take in all
// (send delays, reads handed over) before the tool stops waiting anyway.
constexpr int kSlackPerPacketMs = 500;
constexpr int kSlackMs = 1000;
constexpr int kPumpSliceMs = 50;
}  // namespace

ServiceLink::ServiceLink(PortHandle port, const ServiceLinkOptions& options, LineTrace* trace)
    : channel_(nullptr, MessageLoop::Main()), meter_(nullptr, MessageLoop::Main()), timeoutMs_(options.timeoutMs) {
    channel_.ComHandle = port;
    channel_.EchoRead = options.echo;
    meter_.DeviceComm = &channel_;
    meter_.SetSlaveNetAddress(options.address);
    meter_.SetReceiving_back(options.echo);
    meter_.SetTimeOut(options.timeoutMs);
    meter_.SetTimePackage(10);
    meter_.NullByteEnabled = false;
    meter_.Repetition = false;
    meter_.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&ServiceLink::Executed>(this);
    meter_.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&ServiceLink::TimedOut>(this);
    meter_.OnFalseCRC = TPublicNetKs::SenderEvent::Bind<&ServiceLink::Damaged>(this);
    if (trace) meter_.OnTrace = TPublicNetKs::TraceEvent::Bind<&LineTrace::Record>(trace);
}

ServiceLink::~ServiceLink() {
    meter_.BreakTransmit();
    channel_.AbortRead();
}

void ServiceLink::Begin() {
    // A command that ended without its reply may have left one of the
    // component's own receive routines in place; every command starts with
    // the replies coming here.
    meter_.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&ServiceLink::Executed>(this);
    done_ = false;
    outcome_ = Outcome::NoAnswer;
    reply_.clear();
}

ServiceLink::Outcome ServiceLink::Wait(int packets) {
    const auto limit = std::chrono::milliseconds(packets * (timeoutMs_ + kSlackPerPacketMs) + kSlackMs);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done_ && std::chrono::steady_clock::now() < end) MessageLoop::Main().Pump(kPumpSliceMs);
    if (!done_) {
        // Nothing more of this command may arrive into the next one.
        meter_.BreakTransmit();
        channel_.AbortRead();
    }
    return done_ ? outcome_ : Outcome::NoAnswer;
}

void ServiceLink::Executed(short Length, char* Buffer) {
    // A read that ran out of time is handed on zero-filled, and the link takes
    // the first byte of such a read for an acknowledgement; a reply whose last
    // read came up short is none.
    if (channel_.BytesRead < channel_.ReadSize) {
        meter_.BreakTransmit();
        outcome_ = Outcome::NoAnswer;
        done_ = true;
        return;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(Buffer);
    reply_.assign(bytes, bytes + (Length > 0 ? Length : 0));
    outcome_ = Outcome::Reply;
    done_ = true;
}

void ServiceLink::TimedOut(TComponent*) {
    outcome_ = Outcome::NoAnswer;
    done_ = true;
}

void ServiceLink::Damaged(TComponent*) {
    outcome_ = Outcome::Damaged;
    done_ = true;
}

}  // namespace q31::tool
