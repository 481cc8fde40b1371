// One session of the plug-in on the tool's line for the exchanges beside the
// read requests (a scan's probes, the service commands): opened with the
// options given, its trace to the handler given, and a bounded wait for the
// end of each call. Scan and service set up their line the same way, here.
#pragma once

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tools/q31/common/PendingCall.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool {

class LineSession {
public:
    // Throws ToolError (kExitBadArgument) when the plug-in refuses `options`.
    LineSession(PluginApi& api, PortHandle port, const q31_options& options, TQ31TraceHandler trace, void* user);
    ~LineSession();
    LineSession(const LineSession&) = delete;
    LineSession& operator=(const LineSession&) = delete;

    q31_session* Handle() const { return session_; }
    // Pumps until `call` is done. False when `limitMs` passed first: the
    // call is cancelled, and nothing more of it arrives.
    bool Await(const PendingCall& call, int limitMs);

private:
    PluginApi& api_;
    q31_session* session_ = nullptr;
};

}  // namespace q31::tool
