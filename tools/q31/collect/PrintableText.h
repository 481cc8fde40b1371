// Text from a configuration, a meter or a server as a log line may carry it:
// a control character (a newline above all) would end the line early and
// let whatever follows pass for a line of the collector's own.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace q31::tool::collect {

// True for C0 controls, DEL, and the C1 controls as UTF-8 writes them
// (C2 80..C2 9F), which some terminals obey as escape sequences.
inline bool HasControl(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) return true;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80)
            return true;
    }
    return false;
}

// Control characters written out as C writes them (\n, \t, \x01, \u0085);
// every other byte as it is.
inline std::string Printable(std::string_view text) {
    if (!HasControl(text)) return std::string(text);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char escape[8];
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[++i]));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace q31::tool::collect
