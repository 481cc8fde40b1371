// The options every command of q31 takes: the line, the meter, the output.
#pragma once

#include <cstdint>
#include <string>

#include "publicQ31.h"
#include "support/HostPort.h"

namespace q31::tool {

enum class OutputFormat { Human, Json, Csv };

struct GlobalOptions {
    std::string port;  // empty: start the virtual meter on a pseudo-terminal
    HostPortSettings line;
    bool echo = false;                       // the line returns every byte sent
    int timeoutMs = Q31_DEFAULT_TIMEOUT_MS;  // reply time-out of one packet
    int sendLimit = Q31_DEFAULT_SEND_LIMIT;
    int address = Q31_DEFAULT_ADDRESS;        // the meter's address on the line
    std::uint8_t confirm = Q31_CONFIRM_AUTO;  // when read packets are confirmed
    bool confirmGiven = false;                // --confirm given: it overrides the collector's configuration too
    std::int64_t serial = -1;                 // the serial number the operator expects; -1: whichever answers
    OutputFormat format = OutputFormat::Human;
    bool trace = false;
    std::string library;  // empty: libpublicQ31.so beside the program
};

}  // namespace q31::tool
