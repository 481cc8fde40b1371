// Text put into HTML, in an element or an attribute value.
#pragma once

#include <string>

namespace q31::tool::forward {

inline std::string HtmlText(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace q31::tool::forward
