#include "tools/q31/status/EnergyChart.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "tools/q31/status/HtmlText.h"

namespace q31::tool::forward {

namespace {

constexpr double kLeft = 4, kRight = 296, kTop = 16, kBottom = 60;

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// Differences in unsigned arithmetic: exact, where doubles of values this
// large would lose the small steps and a signed one could overflow.
double Above(std::int64_t v, std::int64_t base) {
    return static_cast<double>(static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(base));
}

// Where a point lies in the chart's box.
struct Scale {
    std::int64_t first, last, low, high;

    double X(std::int64_t record) const {
        if (last == first) return (kLeft + kRight) / 2;
        return kLeft + (kRight - kLeft) * Above(record, first) / Above(last, first);
    }
    double Y(std::int64_t value) const {
        if (high == low) return (kTop + kBottom) / 2;
        return kBottom - (kBottom - kTop) * Above(value, low) / Above(high, low);
    }
};

}  // namespace

std::string EnergyChart(const std::string& meter, const std::vector<ChartPoint>& points, int module) {
    std::string svg = "<svg id=\"chart-" + HtmlText(meter) +
                      "\" class=\"chart\" width=\"300\" height=\"78\" viewBox=\"0 0 300 78\" role=\"img\">";
    if (points.empty()) {
        svg += "<title>no hourly energy values stored</title>";
        svg += "<text x=\"4\" y=\"42\" class=\"none\">no hourly values yet</text></svg>";
        return svg;
    }
    Scale scale{points.front().record, points.back().record, points.front().value, points.front().value};
    for (const ChartPoint& p : points) {
        scale.low = std::min(scale.low, p.value);
        scale.high = std::max(scale.high, p.value);
    }
    svg += "<title>E, module " + std::to_string(module) + ", records " + std::to_string(scale.first) + " to " +
           std::to_string(scale.last) + "</title>";
    svg += "<line class=\"axis\" x1=\"" + Number(kLeft) + "\" y1=\"" + Number(kBottom) + "\" x2=\"" + Number(kRight) +
           "\" y2=\"" + Number(kBottom) + "\"/>";
    svg += "<polyline class=\"line\" points=\"";
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i) svg += ' ';
        svg += Number(scale.X(points[i].record)) + "," + Number(scale.Y(points[i].value));
    }
    svg += "\"/>";
    const ChartPoint& newest = points.back();
    svg += "<circle class=\"dot\" cx=\"" + Number(scale.X(newest.record)) + "\" cy=\"" + Number(scale.Y(newest.value)) +
           "\" r=\"2.5\"/>";
    svg += "<text class=\"max\" x=\"4\" y=\"10\">max " + std::to_string(scale.high) + "</text>";
    svg += "<text class=\"min\" x=\"4\" y=\"74\">min " + std::to_string(scale.low) + "</text>";
    svg += "</svg>";
    return svg;
}

}  // namespace q31::tool::forward
