// The heat-meter component: the link component plus the meter's memory map
// and its multi-packet commands (archives, logs, totals, measurements).
#pragma once

#include <cstdint>

#include "link/TPublicNetKs.h"

namespace q31 {

class TPublicNetKs_6x6 : public TPublicNetKs {
public:
    explicit TPublicNetKs_6x6(TComponent* owner = nullptr, MessageLoop& loop = MessageLoop::Main());
    ~TPublicNetKs_6x6() override;

    // Zero bytes for the clear commands; never written after construction.
    std::uint8_t ZeroBuffer[1000] = {};
};

}  // namespace q31
