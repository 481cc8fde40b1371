// What the process holds of the system: resident memory and open descriptors,
// read from /proc/self.
#pragma once

namespace q31::soak {

struct ProcessUsage {
    long rssKb = -1;       // VmRSS; -1 when unreadable
    int descriptors = -1;  // entries of /proc/self/fd, not counting the one used to list them

    static ProcessUsage Now();
};

}  // namespace q31::soak
