#include <unistd.h>

#include <climits>

#include "support/ProcessInfo.h"

namespace q31 {

namespace {
std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
}  // namespace

std::string ProgramDirectory(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) return DirectoryOf(std::string(path, static_cast<std::size_t>(n)));
    return DirectoryOf(argv0 ? argv0 : "");
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace q31
