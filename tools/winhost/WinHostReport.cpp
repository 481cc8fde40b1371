#include "tools/winhost/WinHostReport.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace q31::winhost {

namespace {

int g_passed = 0;
int g_failed = 0;

}  // namespace

bool Check(bool ok, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::printf("%s - ", ok ? "ok  " : "FAIL");
    std::vprintf(format, args);
    std::printf("\n");
    va_end(args);
    ++(ok ? g_passed : g_failed);
    return ok;
}

int Finish() {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Hex(const void* data, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<const std::uint8_t*>(data)[i];
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace q31::winhost
