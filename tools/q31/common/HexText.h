// Bytes as lower-case hexadecimal text, two digits a byte: how log records
// travel in JSON lines and messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q31::tool {

inline std::string HexText(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

}  // namespace q31::tool
