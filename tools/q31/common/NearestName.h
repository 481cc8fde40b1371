// The known name a typing slip away from a word an operator typed, for a
// "did you mean ..." after an unknown command or key.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace q31::tool {

// Letters inserted, dropped, changed or two neighbours swapped to turn `a`
// into `b`: a swap is one slip of the fingers, not two.
std::size_t TypingDistance(std::string_view a, std::string_view b);

// The name of `known` nearest to `word`, when it is at most a slip per three
// letters away (one at least); none otherwise, since a far guess misleads.
std::optional<std::string> NearestName(std::string_view word, const std::vector<std::string>& known);

}  // namespace q31::tool
