// Where a port is: a device path, or a serial server on the network,
// reached as a raw TCP stream (tcp://HOST:PORT) or through telnet with the
// COM-PORT option of RFC 2217 (rfc2217://HOST:PORT).
#pragma once

#include <string>

namespace q31 {

enum class PortScheme { Device, Tcp, Rfc2217 };

struct PortUrl {
    PortScheme scheme = PortScheme::Device;
    std::string path;  // Device
    std::string host;  // Tcp, Rfc2217: a name or an address; IPv6 without its brackets
    int port = 0;      // Tcp, Rfc2217: 1 to 65535
};

// False for an empty text, an unknown scheme (anything before "://" other
// than tcp and rfc2217), a missing host, or a port that is not a number from
// 1 to 65535; text without "://" is a device path.
bool ParsePortUrl(const char* text, PortUrl& out);

}  // namespace q31
