// What the operator says an archive series' raw register means: the value
// shipped is raw × scale, in `unit`. The meter hands out bare numbers whose
// meaning depends on how it was set up, so only the configuration can tell.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace q31::tool {

struct Quantity {
    std::string unit;
    double scale = 1;
    std::string name;
};

// Quantities by series letter ("e", "t", "u", "m", "stop").
using QuantityMap = std::map<std::string, Quantity, std::less<>>;

// The letters a quantity may be given for: every series but the meter's Time,
// whose encoding is the meter's own and is kept raw.
inline constexpr std::string_view kQuantityLetters[] = {"e", "t", "u", "m", "stop"};

// The name a quantity takes when the configuration gives none.
inline std::string_view DefaultQuantityName(std::string_view letter) {
    if (letter == "e") return "Energy";
    if (letter == "t") return "Temperature";
    if (letter == "u") return "Volume";
    if (letter == "m") return "Mass";
    if (letter == "stop") return "Stop time";
    return letter;
}

// "e_hour" -> "e"; a name without a ring is its own letter.
inline std::string_view SeriesLetter(std::string_view series) { return series.substr(0, series.find('_')); }

// The quantity of `series` in `quantities`, or none: its raw value goes out as it is.
inline const Quantity* QuantityOf(const QuantityMap& quantities, std::string_view series) {
    const auto it = quantities.find(SeriesLetter(series));
    return it == quantities.end() ? nullptr : &it->second;
}

}  // namespace q31::tool
