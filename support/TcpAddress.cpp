#include <cstdlib>

#include "support/TcpSocket.h"

namespace q31 {

bool SplitHostPort(const std::string& text, std::string& host, int& port) {
    std::string rest = text;
    if (rest.rfind("tcp://", 0) == 0) rest = rest.substr(6);
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') return false;
        host = rest.substr(1, close - 1);
        portText = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        host = colon == std::string::npos ? std::string() : rest.substr(0, colon);
        portText = colon == std::string::npos ? rest : rest.substr(colon + 1);
        // A second colon without brackets: an IPv6 address whose port cannot be told apart.
        if (host.find(':') != std::string::npos) return false;
    }
    if (host.empty()) host = "127.0.0.1";
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(portText.c_str());
    return port <= 65535;
}

}  // namespace q31
