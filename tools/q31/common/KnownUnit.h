// Units the tools know beyond their text: what the value measures, how it
// converts to the base unit Prometheus names its metrics by, and the device
// class Home Assistant gives it. A unit not listed here still travels with
// its value; it only goes without conversion or class.
#pragma once

#include <string_view>

namespace q31::tool {

struct KnownUnit {
    std::string_view unit;
    // The base unit's metric name part ("energy_joules") and the factor
    // from `unit` to it.
    std::string_view metric;
    double toBase;
    std::string_view measure;      // what the base unit measures, in words
    std::string_view deviceClass;  // Home Assistant's; empty: none
};

// The calorie is the International Table one (4.1868 J), the one heat meters
// count in Gcal with.
inline constexpr KnownUnit kKnownUnits[] = {
    {"J", "energy_joules", 1, "energy in joules", "energy"},
    {"kJ", "energy_joules", 1e3, "energy in joules", "energy"},
    {"MJ", "energy_joules", 1e6, "energy in joules", "energy"},
    {"GJ", "energy_joules", 1e9, "energy in joules", "energy"},
    {"Wh", "energy_joules", 3.6e3, "energy in joules", "energy"},
    {"kWh", "energy_joules", 3.6e6, "energy in joules", "energy"},
    {"MWh", "energy_joules", 3.6e9, "energy in joules", "energy"},
    {"GWh", "energy_joules", 3.6e12, "energy in joules", "energy"},
    {"kcal", "energy_joules", 4.1868e3, "energy in joules", "energy"},
    {"Mcal", "energy_joules", 4.1868e6, "energy in joules", "energy"},
    {"Gcal", "energy_joules", 4.1868e9, "energy in joules", "energy"},
    {"m³", "volume_cubic_meters", 1, "volume in cubic meters", "water"},
    {"L", "volume_cubic_meters", 1e-3, "volume in cubic meters", "water"},
    {"°C", "temperature_celsius", 1, "temperature in degrees Celsius", "temperature"},
    {"kg", "mass_grams", 1e3, "mass in grams", ""},
    {"t", "mass_grams", 1e6, "mass in grams", ""},
};

// The entry of `unit`, spelled exactly; nullptr when unknown.
inline const KnownUnit* FindKnownUnit(std::string_view unit) {
    for (const KnownUnit& k : kKnownUnits)
        if (k.unit == unit) return &k;
    return nullptr;
}

}  // namespace q31::tool
