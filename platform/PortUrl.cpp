#include "platform/PortUrl.h"

#include <cstring>

namespace q31 {

namespace {

bool ParsePortNumber(const std::string& digits, int& port) {
    if (digits.empty() || digits.size() > 5) return false;
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = value;
    return true;
}

bool ParseHostPort(const std::string& rest, PortUrl& out) {
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        out.host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        out.host = rest.substr(0, colon);
        // An IPv6 address names its port only inside brackets.
        if (out.host.find(':') != std::string::npos) return false;
    }
    if (out.host.empty()) return false;
    for (const char c : out.host)
        if (c == '/' || c == '@' || static_cast<unsigned char>(c) <= ' ') return false;
    return ParsePortNumber(rest.substr(colon + 1), out.port);
}

}  // namespace

bool ParsePortUrl(const char* text, PortUrl& out) {
    out = PortUrl{};
    if (text == nullptr || *text == '\0') return false;
    const std::string url = text;
    const std::size_t mark = url.find("://");
    if (mark == std::string::npos) {
        out.path = url;
        return true;
    }
    const std::string scheme = url.substr(0, mark);
    if (scheme == "tcp") out.scheme = PortScheme::Tcp;
    else if (scheme == "rfc2217") out.scheme = PortScheme::Rfc2217;
    else return false;
    return ParseHostPort(url.substr(mark + 3), out);
}

}  // namespace q31
