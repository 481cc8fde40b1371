#include "tools/q31/status/StatusSnapshot.h"

namespace q31::tool::forward {

AttemptSums StatusSnapshot::AttemptTotal(const std::string& meter) const {
    AttemptSums total;
    for (auto it = attempts.lower_bound({meter, ""}); it != attempts.end() && it->first.first == meter; ++it) {
        total.packets += it->second.packets;
        total.resends += it->second.resends;
        total.rejectedChecksum += it->second.rejectedChecksum;
        total.rejectedOther += it->second.rejectedOther;
        total.timeouts += it->second.timeouts;
    }
    return total;
}

}  // namespace q31::tool::forward
