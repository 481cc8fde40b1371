// Shows the archive transfers' progress text through a host's callback: the
// control the heat-meter component writes into, for a host that has no
// window of its own to show it in.
#pragma once

#include "meter/IProgressControl.h"
#include "publicQ31.h"

namespace q31 {

class HostProgressControl : public IProgressControl {
public:
    void SetHandler(TQ31ProgressHandler handler) { handler_ = handler; }
    TQ31ProgressHandler Handler() const { return handler_; }
    void SetText(const char* text) override {
        if (handler_) handler_(text);
    }

private:
    TQ31ProgressHandler handler_ = nullptr;
};

}  // namespace q31
