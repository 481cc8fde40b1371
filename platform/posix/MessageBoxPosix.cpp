#include <cstdio>

#include "platform/MessageText.h"

namespace q31 {

// Without a desktop the operator reads the message on standard error.
void ShowPlatformMessageBox(const char* text1251, const char* caption1251, unsigned) {
    const MessageText<char> utf8(text1251, caption1251);
    std::fprintf(stderr, "%s\n%s\n", utf8.caption, utf8.text);
    std::fflush(stderr);
}

}  // namespace q31
