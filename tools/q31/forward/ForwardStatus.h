// How far a sink has got, for the metrics and the status page.
#pragma once

#include <cstdint>
#include <string>

namespace q31::tool::forward {

struct ForwardStatus {
    std::string sink;  // "postgres", "mqtt"
    bool connected = false;
    std::int64_t position = 0;        // the last seq shipped
    std::int64_t newest = 0;          // the newest seq in the journal
    std::int64_t backlogRows = 0;     // journal entries not shipped yet
    std::int64_t backlogSeconds = 0;  // age of the oldest of them
    std::int64_t shipped = 0;         // entries shipped since the start
    std::int64_t failures = 0;        // connections or shipments that failed
    std::string lastError;            // without passwords
    std::int64_t rejected = 0;        // messages or rows set aside since the start
    bool tried = false;               // a first connection was tried, well or not
    bool reached = false;             // connected at least once since the start
    bool failing = false;             // the last connection or shipment failed
};

}  // namespace q31::tool::forward
