#include "tools/q31/cli/LineSession.h"

#include <chrono>

#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {
constexpr int kPumpSliceMs = 20;
}  // namespace

LineSession::LineSession(PluginApi& api, PortHandle port, const q31_options& options, TQ31TraceHandler trace,
                         void* user)
    : api_(api) {
    session_ = api_.session_open(static_cast<Q31PortHandle>(port), &options);
    if (!session_)
        throw ToolError(kExitBadArgument,
                        "the plug-in refused the line options (address, time-out, send limit, confirmation)");
    api_.session_set_trace(session_, trace, user);
}

LineSession::~LineSession() { api_.session_close(session_); }

bool LineSession::Await(const PendingCall& call, int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!call.Done() && std::chrono::steady_clock::now() < end) api_.PumpMessages(kPumpSliceMs);
    if (call.Done()) return true;
    api_.cancel(session_);
    return false;
}

}  // namespace q31::tool
