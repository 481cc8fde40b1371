// Passes the link's trace events on to a host's callback, with the host's
// context pointer.
#pragma once

#include "publicQ31.h"

namespace q31 {

class HostTraceSink {
public:
    void SetHandler(TQ31TraceHandler handler, void* user) {
        handler_ = handler;
        user_ = user;
    }
    void Report(const TQ31TraceEvent& event) {
        if (handler_) handler_(&event, user_);
    }

private:
    TQ31TraceHandler handler_ = nullptr;
    void* user_ = nullptr;
};

}  // namespace q31
