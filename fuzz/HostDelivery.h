// What the host was handed once: which callback (named by the request code
// that selects it; 100 for the serial-number message, kMessage for any other
// operator message), the bytes its pointer showed, and its count argument.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q31::fuzz {

struct HostDelivery {
    static constexpr int kMessage = 1000;
    static constexpr int kTimeOut = 1001;

    int code = -1;
    std::vector<std::uint8_t> bytes;
    bool hasCount = false;
    std::uint32_t count = 0;
    std::string text;  // operator messages
};

}  // namespace q31::fuzz
