// An operator message's text and caption converted from Windows-1251 into
// fixed buffers of UTF-8 (char) or UTF-16 (char16_t) units: one place for
// the buffer sizes every presentation of the message box uses.
#pragma once

#include <cstddef>

#include "runtime/Cp1251.h"

namespace q31 {

template <typename Unit>
struct MessageText {
    static constexpr std::size_t kTextChars = 512;
    static constexpr std::size_t kCaptionChars = 128;
    // Each Windows-1251 byte becomes at most three UTF-8 bytes, or one UTF-16 unit.
    static constexpr std::size_t kUnitsPerChar = sizeof(Unit) == 1 ? 3 : 1;

    Unit text[kUnitsPerChar * kTextChars + 1];
    Unit caption[kUnitsPerChar * kCaptionChars + 1];

    MessageText(const char* text1251, const char* caption1251) {
        if constexpr (sizeof(Unit) == 1) {
            Cp1251ToUtf8(text1251, text, sizeof text);
            Cp1251ToUtf8(caption1251, caption, sizeof caption);
        } else {
            Cp1251ToUtf16(text1251, text, sizeof text / sizeof text[0]);
            Cp1251ToUtf16(caption1251, caption, sizeof caption / sizeof caption[0]);
        }
    }
};

}  // namespace q31
