// q31-winhost's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q31::winhost {

struct ModuleExpectation {
    unsigned module = 0;
    std::uint8_t bytes[32] = {};
};

struct Options {
    std::string dll = "publicQ31.dll";
    std::string port;
    std::uint32_t serial = 0;
    bool haveSerial = false;
    long versionWord = -1;
    long modules = -1;
    bool echo = false;
    bool lateMeter = false;
    std::vector<ModuleExpectation> records;
};

// False, having said why on stderr, for a command line it cannot run.
bool ParseOptions(int argc, char** argv, Options& o);

}  // namespace q31::winhost
