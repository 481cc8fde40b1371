// The totals and last measurement the virtual meter keeps follow from its seed.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"
#include "sim/TotalsContent.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(TotalsContent, TheVirtualMetersRecordsFollowFromItsSeed) {
    MeterConfig a;
    MeterConfig b;
    b.seed = a.seed + 1;
    MeterModel one(a), same(a), other(b);
    const auto span = [](MeterModel& m, MemoryArea area, std::uint32_t at, std::size_t n) {
        const auto image = m.Memory().Image(area);
        return Bytes(image.begin() + at, image.begin() + at + n);
    };
    for (auto [area, at, n] : {std::tuple{MemoryArea::Ram, std::uint32_t{kLastMeasureAddress}, std::size_t{152}},
                               std::tuple{MemoryArea::Ram, std::uint32_t{kModuleTotalsAddress}, std::size_t{248}},
                               std::tuple{MemoryArea::Flash, kAllTotalsFlashAddress, kAllTotalsSize},
                               std::tuple{MemoryArea::Flash, kDayTotalsFlashAddress, kDayTotalsSize}}) {
        EXPECT_EQ(span(one, area, at, n), span(same, area, at, n)) << at;
        EXPECT_NE(span(one, area, at, n), span(other, area, at, n)) << at;
    }
    // Plausible magnitudes: temperatures in hundredths of a degree, flows.
    const Bytes last = span(one, MemoryArea::Ram, kLastMeasureAddress, 152);
    for (int i = 0; i < 6; ++i) {
        EXPECT_GE(GetU32(&last[4 * i]), 3000u);
        EXPECT_LT(GetU32(&last[4 * i]), 9500u);
        EXPECT_LT(GetU32(&last[80 + 4 * i]), 6000u);
    }
}

}  // namespace
}  // namespace q31::sim
