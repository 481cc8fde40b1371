#include "tests/e2e/Ser2netServer.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/FreePort.h"

namespace q31::test {

bool Ser2netServer::Available() {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(kProgram, error);
    return !error && fs::is_regular_file(status) && (status.permissions() & fs::perms::owner_exec) != fs::perms::none;
}

Ser2netServer::Ser2netServer(const std::string& device, bool charDelay)
    : raw_(FreeLoopbackPort()), telnet_(FreeLoopbackPort()) {
    // A directory of its own, named by a port no other test holds just now.
    std::error_code error;
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path(error) / ("q31-ser2net-" + std::to_string(raw_));
    if (!error && std::filesystem::create_directory(dir, error)) dir_ = dir.string();
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
        if (LoopbackAccepts(raw_)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace q31::test
