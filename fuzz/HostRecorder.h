// The host's side of a session: a slot record whose callbacks copy what they
// are handed, and the operator's message box. Host callbacks are plain
// functions, so the recorder of the running session is a process-wide one.
#pragma once

#include <vector>

#include "fuzz/HostDelivery.h"
#include "publicQ31.h"

namespace q31::fuzz {

class HostRecorder {
public:
    HostRecorder();
    ~HostRecorder();
    HostRecorder(const HostRecorder&) = delete;
    HostRecorder& operator=(const HostRecorder&) = delete;

    // A slot record with every callback filled and the given line settings.
    static TQ31Slot Slot(Q31PortHandle handle, bool echo, int timeOutMs);

    const std::vector<HostDelivery>& Deliveries() const { return deliveries_; }
    void Record(HostDelivery delivery) { deliveries_.push_back(std::move(delivery)); }

    static HostRecorder* Current();

private:
    std::vector<HostDelivery> deliveries_;
};

}  // namespace q31::fuzz
