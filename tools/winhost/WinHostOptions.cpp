#include "tools/winhost/WinHostOptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace q31::winhost {

namespace {

bool ParseRecord(const char* text, ModuleExpectation& out) {
    char* end = nullptr;
    const unsigned long module = std::strtoul(text, &end, 10);
    if (end == text || *end != ':' || module < 1 || module > 6) return false;
    const char* hex = end + 1;
    if (std::strlen(hex) != 64) return false;
    for (int i = 0; i < 32; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        char* stop = nullptr;
        out.bytes[i] = static_cast<std::uint8_t>(std::strtoul(pair, &stop, 16));
        if (*stop != 0) return false;
    }
    out.module = static_cast<unsigned>(module);
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--dll" && hasValue) o.dll = argv[++i];
        else if (arg == "--port" && hasValue) o.port = argv[++i];
        else if (arg == "--serial" && hasValue) {
            o.serial = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
            o.haveSerial = true;
        } else if (arg == "--version-word" && hasValue) o.versionWord = std::strtol(argv[++i], nullptr, 0);
        else if (arg == "--modules" && hasValue) o.modules = std::strtol(argv[++i], nullptr, 0);
        else if (arg == "--echo") o.echo = true;
        else if (arg == "--late-meter") o.lateMeter = true;
        else if (arg == "--record" && hasValue) {
            ModuleExpectation e;
            if (!ParseRecord(argv[++i], e)) {
                std::fprintf(stderr, "q31-winhost: bad --record %s (want I:64 hex digits)\n", argv[i]);
                return false;
            }
            o.records.push_back(e);
        } else {
            std::fprintf(stderr, "q31-winhost: unknown or incomplete argument %s\n", arg.c_str());
            return false;
        }
    }
    if (o.port.empty() || !o.haveSerial) {
        std::fprintf(stderr, "q31-winhost: --port and --serial are required\n");
        return false;
    }
    return true;
}

}  // namespace q31::winhost
