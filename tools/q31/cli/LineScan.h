// Finding the meters on a line: which addresses answer an identification.
//
// A quick pass sends one identification to each address and waits the
// short scan time-out for it. The reply carries no address, and most
// addresses are silent, so an answer that comes later than the scan
// time-out lands in the next address's wait and would be taken for a meter
// there. Therefore nothing the quick pass saw is reported as it is; it only
// names addresses to look at again:
//  - an address that answered;
//  - an address during whose wait bytes came that were no accepted answer,
//    together with the two addresses before it (whose answers may be that
//    late).
// Then the line is let fall quiet (no byte for two scan time-outs), and each
// named address is identified again with the reply time-out, the packet
// sent until two replies in a row agree (up to three looks while replies
// come damaged). Only an address that answers this way is reported, with
// the identity so confirmed. When it gives another identity than the quick
// pass took there, or none, the quick answer was a late one from further up
// the line: the addresses before it are looked at the same way, nearest
// first, until the one that answers with that identity is found, as far
// back as an answer within the reply time-out can have come from.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "publicQ31.h"
#include "tools/q31/cli/ScanLink.h"

namespace q31::tool {

struct ScanPlan {
    int from = Q31_ADDRESS_MIN;
    int to = Q31_ADDRESS_MAX;
    int scanTimeoutMs = 200;                      // the quick pass's wait at each address
    int replyTimeoutMs = Q31_DEFAULT_TIMEOUT_MS;  // the wait of each confirming identification
};

struct ScanHit {
    int address;
    SDevIdent ident;
};

// The meters found, by address. `progress` (when given) learns how many
// addresses the quick pass has asked.
std::vector<ScanHit> ScanLine(ScanLink& link, const ScanPlan& plan, const std::function<void(int asked)>& progress);

}  // namespace q31::tool
