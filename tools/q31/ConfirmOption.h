// The confirmation modes by the names an operator writes, on the command
// line and in the collector's configuration alike.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "publicQ31.h"

namespace q31::tool {

// What an error message lists as the choices.
inline constexpr const char* kConfirmChoices = "off, always or auto";

// Q31_CONFIRM_... for "off", "always" or "auto" in any case; nothing for any other text.
inline std::optional<std::uint8_t> ConfirmByName(std::string_view name) {
    auto is = [name](std::string_view word) {
        if (name.size() != word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(name[i])) != word[i]) return false;
        return true;
    };
    if (is("off")) return Q31_CONFIRM_OFF;
    if (is("always")) return Q31_CONFIRM_ALWAYS;
    if (is("auto")) return Q31_CONFIRM_AUTO;
    return std::nullopt;
}

}  // namespace q31::tool
