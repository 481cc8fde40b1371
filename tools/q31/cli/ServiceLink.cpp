#include "tools/q31/cli/ServiceLink.h"

#include "tools/q31/common/PendingCall.h"

namespace q31::tool {

namespace {
// Beyond the time-outs of its packets, what a command may take in all
// (send delays, reads handed over) before the tool stops waiting anyway.
constexpr int kSlackPerPacketMs = 500;
constexpr int kSlackMs = 1000;
// The ADC reply: two 16-bit RAM addresses before the values.
constexpr std::size_t kAdcPointerBytes = 4;
}  // namespace

ServiceLink::ServiceLink(PluginApi& api, PortHandle port, const q31_options& options, LineTrace& trace)
    : api_(api),
      trace_(trace),
      timeoutMs_(options.timeout_ms),
      session_(api, port, options, &ServiceLink::Traced, this) {}

ServiceLink::Outcome ServiceLink::Run(std::uint32_t command, std::uint32_t first, std::uint32_t second, int packets) {
    reply_.clear();
    rejected_ = false;
    PendingCall call;
    if (api_.service(session_.Handle(), command, first, second, &PendingCall::OnBytes, &call) != Q31_OK)
        return Outcome::NotSent;
    if (!session_.Await(call, packets * (timeoutMs_ + kSlackPerPacketMs) + kSlackMs)) return Outcome::NoAnswer;
    if (call.Result().status != Q31_OK) return rejected_ ? Outcome::Damaged : Outcome::NoAnswer;
    const std::vector<std::uint8_t>& bytes = call.Bytes();
    std::size_t at = 0;
    if (command == Q31_SERVICE_ADC && bytes.size() >= kAdcPointerBytes) {
        valuePointers_[0] = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
        valuePointers_[1] = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
        at = kAdcPointerBytes;
    }
    reply_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
    return Outcome::Reply;
}

void Q31_CALL ServiceLink::Traced(const TQ31TraceEvent* event, void* user) {
    ServiceLink& self = *static_cast<ServiceLink*>(user);
    self.trace_.Record(*event);
    // A damaged frame; a reply that was whole but unusable, or followed by
    // another, is no damage the meter's packet suffered.
    if (event->kind == Q31_TRACE_REJECTED && event->reason != Q31_REJECT_EMPTY &&
        event->reason != Q31_REJECT_FOLLOWED && event->reason != Q31_REJECT_UNCONFIRMED)
        self.rejected_ = true;
}

}  // namespace q31::tool
