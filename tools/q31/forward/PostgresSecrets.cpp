#include "tools/q31/forward/PostgresSecrets.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace q31::tool::forward {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecoded(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexDigit(s[i + 1]) >= 0 && HexDigit(s[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(s[i + 1]) * 16 + HexDigit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::vector<std::string> PasswordsIn(const std::string& url) {
    std::vector<std::string> found;
    const std::size_t scheme = url.find("://");
    if (scheme != std::string::npos) {
        const std::size_t start = scheme + 3;
        const std::size_t end = url.find_first_of("/?", start);
        const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::size_t at = authority.rfind('@');
        if (at != std::string::npos) {
            const std::size_t colon = authority.find(':');
            if (colon != std::string::npos && colon < at) found.push_back(authority.substr(colon + 1, at - colon - 1));
        }
    }
    // key = value pairs as libpq reads them (spaces around '=', a value in
    // quotes with \' inside), and the password=... of a URL's query.
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    for (std::size_t p = url.find("password"); p != std::string::npos; p = url.find("password", p + 1)) {
        std::size_t i = p + 8;
        while (i < url.size() && space(url[i])) ++i;
        if (i == url.size() || url[i] != '=') continue;
        ++i;
        while (i < url.size() && space(url[i])) ++i;
        std::size_t start = i;
        if (i < url.size() && url[i] == '\'') {
            start = ++i;
            while (i < url.size() && url[i] != '\'') i += url[i] == '\\' ? 2 : 1;
        } else {
            while (i < url.size() && !space(url[i]) && url[i] != '&') ++i;
        }
        found.push_back(url.substr(start, std::min(i, url.size()) - start));
    }
    // And the password as libpq takes it, unquoted and unescaped.
    if (PQconninfoOption* options = PQconninfoParse(url.c_str(), nullptr)) {
        for (PQconninfoOption* o = options; o->keyword; ++o)
            if (std::strcmp(o->keyword, "password") == 0 && o->val) found.emplace_back(o->val);
        PQconninfoFree(options);
    }
    std::vector<std::string> all;
    for (const std::string& f : found) {
        if (f.empty()) continue;
        all.push_back(f);
        if (PercentDecoded(f) != f) all.push_back(PercentDecoded(f));
    }
    return all;
}

std::string ReadPasswordFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    // The reason is the operating system's: "Too many open files" calls for
    // other help than a missing file does.
    if (!in) throw std::runtime_error("postgres: cannot read the password file " + path + ": " + std::strerror(errno));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace q31::tool::forward
