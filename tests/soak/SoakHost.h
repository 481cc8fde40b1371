// The host side of the soak: a slot record whose callbacks turn every
// delivered result into a list of values (the unit ExpectedContent uses),
// and an operator-message handler. One result at a time, as the host
// contract has it: the soak starts a request, pumps until Finished, and
// takes the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tests/soak/SoakRequest.h"

namespace q31::soak {

struct Delivery {
    bool callback = false;     // a result callback came
    Export from = Export::ID;  // which one
    std::vector<std::uint64_t> values;
    bool message = false;  // an operator message came instead
    std::string text;
    int callbacks = 0;  // results that came since Reset (more than one is wrong)
};

class SoakHost {
public:
    // The slot record with every result callback of this host.
    static TQ31Slot Slot(PortHandle port, bool echo, int timeoutMs);
    // Installs the message handler; call once before the first request.
    static void Install();
    static void Uninstall();

    // Forgets the last result before the next request starts.
    static void Reset();
    static bool Finished();
    static const Delivery& Last();

    // Used by the callbacks.
    static void Deliver(Export from, std::vector<std::uint64_t> values);
    static void Message(const char* text);
};

}  // namespace q31::soak
