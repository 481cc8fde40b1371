// A log record as stored: its place in the log and its bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace q31::tool::collect {

struct LogRecord {
    int block = 0;
    int position = 0;
    std::vector<std::uint8_t> bytes;
};

}  // namespace q31::tool::collect
