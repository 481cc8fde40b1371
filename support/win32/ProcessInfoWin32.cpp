#include <windows.h>

#include <io.h>

#include <cstdio>

#include "support/ProcessInfo.h"

namespace q31 {

namespace {
std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash);
}
}  // namespace

std::string ProgramDirectory(const char* argv0) {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    // A result that fills the buffer was cut short.
    if (n > 0 && n < sizeof path) return DirectoryOf(std::string(path, n));
    return DirectoryOf(argv0 ? argv0 : "");
}

bool StderrIsTerminal() { return ::_isatty(::_fileno(stderr)) != 0; }

}  // namespace q31
