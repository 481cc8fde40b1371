// ser2net of a test's (or benchmark's) own in front of a device: a raw TCP
// port and an RFC 2217 port on loopback, its configuration in a temporary
// directory that goes with it.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "publicQ31.h"
#include "support/ChildProcess.h"

namespace q31::test {

class Ser2netServer {
public:
    static constexpr const char* kProgram = "/usr/sbin/ser2net";
    static bool Available();

    // `charDelay` false: the option that makes ser2net gather serial bytes
    // for a few character times before it sends them on is off.
    explicit Ser2netServer(const std::string& device, bool charDelay = true);
    ~Ser2netServer();
    Ser2netServer(const Ser2netServer&) = delete;
    Ser2netServer& operator=(const Ser2netServer&) = delete;

    // False when it does not take connections within 10 s.
    bool Start();
    std::string RawUrl() const { return "tcp://127.0.0.1:" + std::to_string(raw_); }
    std::string TelnetUrl() const { return "rfc2217://127.0.0.1:" + std::to_string(telnet_); }

private:
    int raw_;
    int telnet_;
    std::string dir_;
    ChildProcess process_;
};

// Opens `url` through the plug-in's export; ser2net holds its device a moment
// after its last client left and turns the next one away meanwhile, so a
// refused open is tried again for up to 5 s. Returns the q31_port_open status;
// *why (when given) says why it failed.
inline int OpenServerPort(const std::string& url, Q31PortHandle* port, std::string* why = nullptr) {
    int status = Q31_ERR_PORT_OPEN;
    for (int tries = 0; tries < 50 && status == Q31_ERR_PORT_OPEN; ++tries) {
        if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        status = ::q31_port_open(url.c_str(), nullptr, port);
    }
    if (status != Q31_OK && why != nullptr) {
        char text[200] = {};
        ::q31_port_error(text, sizeof text);
        *why = text;
    }
    return status;
}

}  // namespace q31::test
