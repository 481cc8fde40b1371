// The page's consumption chart: one bar per pair of consecutive hourly
// records, in the newest record's unit.
#include "tools/q31/status/EnergyChart.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace q31::tool::forward {
namespace {

std::size_t Bars(const std::string& svg) {
    std::size_t n = 0;
    for (auto at = svg.find("<rect"); at != std::string::npos; at = svg.find("<rect", at + 1)) ++n;
    return n;
}

bool Has(const std::string& svg, const std::string& text) { return svg.find(text) != std::string::npos; }

TEST(EnergyChart, BarsOnlyBetweenNeighboursOfOneUnit) {
    // Record 12 is missing: 11 -> 13 is two hours and has no bar.
    const std::string gap = EnergyChart(
        "a", {{10, 1000, 1.0, "GJ"}, {11, 1256, 1.256, "GJ"}, {13, 1700, 1.7, "GJ"}, {14, 2000, 2.0, "GJ"}}, 1);
    EXPECT_EQ(Bars(gap), 2u);
    EXPECT_TRUE(Has(gap, ">max 0.3 GJ/h<")) << gap;
    EXPECT_TRUE(Has(gap, ">last hour 0.3 GJ<"));

    // A record stored raw before the quantity was configured pairs with none.
    const std::string mixed = EnergyChart("b", {{20, 100, {}, ""}, {21, 300, 0.3, "GJ"}, {22, 500, 0.5, "GJ"}}, 1);
    EXPECT_EQ(Bars(mixed), 1u);
    EXPECT_TRUE(Has(mixed, ">max 0.2 GJ/h<")) << mixed;

    // Raw steps of a register that wraps through the top of 64 bits.
    const std::string raw = EnergyChart("c",
                                        {{1, std::numeric_limits<std::int64_t>::max() - 2, {}, ""},
                                         {2, std::numeric_limits<std::int64_t>::min() + 1, {}, ""}},
                                        1);
    EXPECT_EQ(Bars(raw), 1u);
    EXPECT_TRUE(Has(raw, ">max 4 raw/h<")) << raw;

    EXPECT_TRUE(Has(EnergyChart("d", {{5, 1, 0.001, "GJ"}}, 1), "no hourly values yet"));
}

}  // namespace
}  // namespace q31::tool::forward
