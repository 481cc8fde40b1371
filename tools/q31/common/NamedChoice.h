// Settings an operator gives by name (a parity, an output format), on the
// command line and in the collector's configuration alike. Only the names
// count: CLI11's own mapping would also take the values behind them, so that
// `--parity 1` meant even.
#pragma once

#include <cctype>
#include <optional>
#include <string>
#include <string_view>

#include "support/HostPort.h"
#include "tools/q31/common/GlobalOptions.h"

namespace q31::tool {

template <typename T>
struct NamedChoice {
    std::string_view name;
    T value;
};

inline constexpr NamedChoice<HostParity> kParityChoices[] = {
    {"none", HostParity::None}, {"even", HostParity::Even}, {"odd", HostParity::Odd}};
inline constexpr NamedChoice<OutputFormat> kFormatChoices[] = {
    {"human", OutputFormat::Human}, {"json", OutputFormat::Json}, {"csv", OutputFormat::Csv}};

// The value named `text` in any case; nothing for any other text.
template <typename T, std::size_t N>
std::optional<T> ChoiceByName(std::string_view text, const NamedChoice<T> (&choices)[N]) {
    for (const NamedChoice<T>& c : choices) {
        if (c.name.size() != text.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < text.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(text[i])) == c.name[i];
        if (same) return c.value;
    }
    return std::nullopt;
}

// "none, even or odd": the choices as an error message lists them.
template <typename T, std::size_t N>
std::string ChoiceList(const NamedChoice<T> (&choices)[N]) {
    std::string out;
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) out += i + 1 == N ? " or " : ", ";
        out += choices[i].name;
    }
    return out;
}

// "none|even|odd": the choices as the help text shows them.
template <typename T, std::size_t N>
std::string ChoiceBar(const NamedChoice<T> (&choices)[N]) {
    std::string out;
    for (const NamedChoice<T>& c : choices) (out += out.empty() ? "" : "|") += c.name;
    return out;
}

}  // namespace q31::tool
