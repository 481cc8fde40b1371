// Texts the plug-in shows the operator, as Windows-1251 bytes.
#pragma once

namespace q31::texts {

inline constexpr const char* kErrorCaption = "\xCE\xF8\xE8\xE1\xEA\xE0!";  // Ошибка!
inline constexpr const char* kSerialMismatch =
    "\xCD\xE5 \xF1\xEE\xE2\xEF\xE0\xE4\xE5\xED\xE8\xE5 \xF1\xE5\xF0\xE8\xE9\xED\xFB\xF5 \xED\xEE\xEC\xE5\xF0\xEE\xE2 "
    "\xE7\xE0\xEF\xF0\xEE\xF1 \xB9";  // Не совпадение серийных номеров запрос №
inline constexpr const char* kSerialFound = "  \xED\xE0\xE9\xE4\xE5\xED \xB9";  //   найден №
inline constexpr const char* kCannotProcess =
    "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xEE\xE1\xF0\xE0\xE1\xEE\xF2\xE0\xF2\xFC \xE7\xE0\xEF\xF0\xEE\xF1!";  // Невозможно обработать запрос!

}  // namespace q31::texts
