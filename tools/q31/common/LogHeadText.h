// A log head as the database keeps it: its words in decimal, separated by
// spaces ("12 0 7").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q31::tool {

inline std::string LogHeadText(const std::vector<std::uint16_t>& words) {
    std::string s;
    for (std::uint16_t w : words) {
        if (!s.empty()) s += ' ';
        s += std::to_string(w);
    }
    return s;
}

// Reads what LogHeadText wrote; stops at the first thing that is not a number.
inline std::vector<std::uint16_t> LogHeadWords(const std::string& text) {
    std::vector<std::uint16_t> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && text[at] == ' ') ++at;
        if (at == text.size() || text[at] < '0' || text[at] > '9') break;
        unsigned long value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') value = value * 10 + (text[at++] - '0');
        words.push_back(static_cast<std::uint16_t>(value));
    }
    return words;
}

}  // namespace q31::tool
