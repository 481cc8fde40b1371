#include <cstdio>

#include "platform/Cp1251.h"

namespace q31 {

// Without a desktop the operator reads the message on standard error.
void ShowPlatformMessageBox(const char* text1251, const char* caption1251, unsigned) {
    char text[3 * 512 + 1];
    char caption[3 * 128 + 1];
    Cp1251ToUtf8(text1251, text, sizeof text);
    Cp1251ToUtf8(caption1251, caption, sizeof caption);
    std::fprintf(stderr, "%s\n%s\n", caption, text);
    std::fflush(stderr);
}

}  // namespace q31
