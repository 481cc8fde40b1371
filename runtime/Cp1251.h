// Windows-1251, the code page every text of the meter software is stored
// in. Texts stay in it until they are shown; these turn them into Unicode.
#pragma once

#include <cstddef>

namespace q31 {

char16_t Cp1251ToUnicode(unsigned char byte);

// Converts a zero-terminated Windows-1251 text into `out` (capacity in
// units, terminator included). Stops before a character that would not fit
// whole. Returns the units written, terminator excluded.
std::size_t Cp1251ToUtf8(const char* text, char* out, std::size_t capacity);
std::size_t Cp1251ToUtf16(const char* text, char16_t* out, std::size_t capacity);

}  // namespace q31
