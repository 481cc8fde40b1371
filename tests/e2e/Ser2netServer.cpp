#include "tests/e2e/Ser2netServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/FreePort.h"

namespace q31::test {

namespace {

bool Accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

}  // namespace

bool Ser2netServer::Available() { return ::access(kProgram, X_OK) == 0; }

Ser2netServer::Ser2netServer(const std::string& device, bool charDelay)
    : raw_(FreeLoopbackPort()), telnet_(FreeLoopbackPort()) {
    char pattern[] = "/tmp/q31-ser2net.XXXXXX";
    if (::mkdtemp(pattern) != nullptr) dir_ = pattern;
    const std::string options =
        std::string("\n  options:\n    kickolduser: true\n") + (charDelay ? "" : "    chardelay: false\n");
    std::ofstream(dir_ + "/ser2net.yaml")
        << "connection: &raw\n  accepter: tcp,127.0.0.1," << raw_ << "\n  connector: serialdev," << device
        << ",9600n81,local" << options << "connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnet_
        << "\n  connector: serialdev," << device << ",9600n81,local" << options;
}

Ser2netServer::~Ser2netServer() {
    process_.Stop();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool Ser2netServer::Start() {
    if (dir_.empty() || !process_.Start(kProgram, {"-c", dir_ + "/ser2net.yaml", "-n", "-d"})) return false;
    // Both accepters open together: one answering is enough.
    for (int i = 0; i < 1000; ++i) {
        if (Accepts(raw_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace q31::test
