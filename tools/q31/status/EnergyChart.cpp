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

std::string Amount(double v, bool raw) {
    char text[32];
    std::snprintf(text, sizeof text, raw ? "%.0f" : "%.4g", v);
    return text;
}

// The register's step in unsigned arithmetic: exact, where doubles of values
// this large lose the small steps (a register near 2^63 times 0.001 has a
// spacing of about one unit) and a signed difference could overflow.
std::int64_t RawStep(std::int64_t from, std::int64_t to) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from));
}

// The quantity's scale as it was when the record was stored.
double ScaleOf(const ChartPoint& p) { return p.value != 0 ? *p.quantity / static_cast<double>(p.value) : 0; }

struct Step {
    std::int64_t record;  // the record the hour ends with
    double amount;
};

// The steps in the newest record's unit: a pair of records stored under
// another unit, or one raw and one not, has no step.
std::vector<Step> Steps(const std::vector<ChartPoint>& points) {
    std::vector<Step> steps;
    const ChartPoint& newest = points.back();
    for (std::size_t i = 1; i < points.size(); ++i) {
        const ChartPoint& a = points[i - 1];
        const ChartPoint& b = points[i];
        if (b.record != a.record + 1) continue;
        if (a.quantity.has_value() != newest.quantity.has_value() || b.quantity.has_value() != a.quantity.has_value())
            continue;
        if (a.unit != newest.unit || b.unit != newest.unit) continue;
        const double raw = static_cast<double>(RawStep(a.value, b.value));
        if (!b.quantity) {
            steps.push_back({b.record, raw});
            continue;
        }
        const double scale = b.value != 0 ? ScaleOf(b) : ScaleOf(a);
        steps.push_back({b.record, raw * scale});
    }
    return steps;
}

}  // namespace

std::string EnergyChart(const std::string& meter, const std::vector<ChartPoint>& points, int module) {
    std::string svg = "<svg id=\"chart-" + HtmlText(meter) +
                      "\" class=\"chart\" width=\"300\" height=\"78\" viewBox=\"0 0 300 78\" role=\"img\">";
    const std::vector<Step> steps = points.empty() ? std::vector<Step>() : Steps(points);
    if (steps.empty()) {
        svg += "<title>no hourly consumption stored</title>";
        svg += "<text x=\"4\" y=\"42\" class=\"none\">no hourly values yet</text></svg>";
        return svg;
    }
    const bool raw = !points.back().quantity;
    const std::string unit = raw ? std::string("raw") : points.back().unit;
    double low = 0, high = 0;
    for (const Step& s : steps) {
        low = std::min(low, s.amount);
        high = std::max(high, s.amount);
    }
    const std::int64_t first = points.front().record + 1, last = points.back().record;
    const double slot = (kRight - kLeft) / static_cast<double>(last - first + 1);
    auto y = [&](double v) { return high == low ? kBottom : kBottom - (kBottom - kTop) * (v - low) / (high - low); };
    svg += "<title>E per hour, module " + std::to_string(module) + ", " + HtmlText(unit) + ", records " +
           std::to_string(first) + " to " + std::to_string(last) + "</title>";
    for (const Step& s : steps) {
        const double top = std::min(y(s.amount), y(0)), bottom = std::max(y(s.amount), y(0));
        svg += "<rect class=\"bar\" x=\"" + Number(kLeft + slot * static_cast<double>(s.record - first)) + "\" y=\"" +
               Number(top) + "\" width=\"" + Number(std::max(slot * 0.8, 0.5)) + "\" height=\"" +
               Number(std::max(bottom - top, 0.5)) + "\"/>";
    }
    svg += "<line class=\"axis\" x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(0)) + "\" x2=\"" + Number(kRight) +
           "\" y2=\"" + Number(y(0)) + "\"/>";
    svg += "<text class=\"max\" x=\"4\" y=\"10\">max " + Amount(high, raw) + " " + HtmlText(unit) + "/h</text>";
    svg += "<text class=\"newest\" x=\"4\" y=\"74\">last hour " + Amount(steps.back().amount, raw) + " " +
           HtmlText(unit) + "</text>";
    svg += "</svg>";
    return svg;
}

}  // namespace q31::tool::forward
