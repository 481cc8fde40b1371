// The confirmation modes by the names an operator writes, on the command
// line and in the collector's configuration alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "publicQ31.h"
#include "tools/q31/common/NamedChoice.h"

namespace q31::tool {

inline constexpr NamedChoice<std::uint8_t> kConfirmChoices[] = {
    {"off", Q31_CONFIRM_OFF}, {"always", Q31_CONFIRM_ALWAYS}, {"auto", Q31_CONFIRM_AUTO}};

// Q31_CONFIRM_... for "off", "always" or "auto" in any case; nothing for any other text.
inline std::optional<std::uint8_t> ConfirmByName(std::string_view name) { return ChoiceByName(name, kConfirmChoices); }

}  // namespace q31::tool
