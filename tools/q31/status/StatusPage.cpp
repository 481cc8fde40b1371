#include "tools/q31/status/StatusPage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "tools/q31/status/EnergyChart.h"
#include "tools/q31/status/HtmlText.h"
#include "tools/q31/status/StatusPageStyle.h"

namespace q31::tool::forward {

namespace {

std::string IsoTime(std::int64_t unixSeconds) {
    using namespace std::chrono;
    const sys_seconds at{seconds(unixSeconds)};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{at - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
                  static_cast<long>(time.seconds().count()));
    return text;
}

// A span of time the way a person reads it on a dashboard: its largest unit.
std::string Span(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 120) return std::to_string(seconds) + " s";
    if (seconds < 2 * 3600) return std::to_string(seconds / 60) + " min";
    if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

void Head(std::string& h, const StatusSnapshot& s, const std::string& gateway, std::int64_t now) {
    const auto failing =
        std::count_if(s.meters.begin(), s.meters.end(), [](const MeterState& m) { return m.failures > 0; });
    h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
    h += "<meta http-equiv=\"refresh\" content=\"60\">";
    h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
    h += "<title>q31 collect: " + HtmlText(gateway) + "</title><style>";
    h += kStatusPageStyle;
    h += "</style></head><body>\n";
    h += "<header><h1>q31 collect <span class=\"gateway\">" + HtmlText(gateway) + "</span></h1>";
    h += "<p class=\"summary\">" + std::to_string(s.meters.size()) + (s.meters.size() == 1 ? " meter, " : " meters, ") +
         std::to_string(failing) + " failing &middot; as of " + IsoTime(now) + "</p></header>\n";
}

// The newest hourly value of each series with a quantity, in its unit: of the
// chart's module, or the lowest module that has one.
std::string Readings(const MeterState& m) {
    auto hourly = [](const SeriesValue& v) { return v.series.ends_with("_hour"); };
    int module = m.module;
    for (const SeriesValue& v : m.values)
        if (!module && hourly(v)) module = v.module;
    std::string h;
    for (const SeriesValue& v : m.values) {
        if (v.module != module || !hourly(v)) continue;
        std::string name = v.series.substr(0, v.series.find('_'));
        if (!name.empty() && name[0] >= 'a' && name[0] <= 'z') name[0] = static_cast<char>(name[0] - 'a' + 'A');
        char amount[32];
        std::snprintf(amount, sizeof amount, "%.6g", v.quantity);
        if (!h.empty()) h += "<br>";
        h += "<span class=\"reading\">" + HtmlText(name) + " " + amount + " " + HtmlText(v.unit) + "</span>";
    }
    if (!h.empty()) return h;
    // Stored values without a quantity are raw registers, which say nothing here.
    return m.records > 0 ? "<small>raw only</small>" : "<small>none yet</small>";
}

void MeterRow(std::string& h, const MeterState& m, std::int64_t now) {
    const char* state = m.outcome.empty() ? "unknown" : m.outcome == "ok" ? "ok" : "failing";
    h += "<tr id=\"meter-" + HtmlText(m.name) + "\" class=\"" + state + "\">";
    h += "<td class=\"name\">" + HtmlText(m.name) + "</td>";
    h += "<td class=\"number\">" + std::to_string(m.serial) + "</td>";
    h += "<td class=\"port\">" + HtmlText(m.port) + "</td>";
    h += "<td class=\"number address\">" + std::to_string(m.address) + "</td>";
    h += "<td><span class=\"state " + std::string(state) + "\">" +
         HtmlText(m.outcome.empty() ? "not tried yet" : m.outcome) + "</span></td>";
    if (m.lastOk) h += "<td>" + IsoTime(*m.lastOk) + "<br><small>" + Span(now - *m.lastOk) + " ago</small></td>";
    else h += "<td><small>never</small></td>";
    h += "<td class=\"number failures\">" + std::to_string(m.failures) + "</td>";
    h += "<td class=\"number\">" + std::to_string(m.records) + "</td>";
    h += "<td class=\"readings\">" + Readings(m) + "</td>";
    h += "<td>" + EnergyChart(m.name, m.points, m.module) + "</td></tr>\n";
}

void SinkTable(std::string& h, const std::vector<ForwardStatus>& sinks) {
    if (sinks.empty()) {
        h += "<p><small>No sink configured: the data stays in this gateway's database.</small></p>\n";
        return;
    }
    h += "<table class=\"sinks\"><thead><tr><th>Sink</th><th>Connected</th><th>Backlog</th><th>Oldest waiting</th>"
         "<th>Shipped</th><th>Failures</th><th>Set aside</th></tr></thead><tbody>\n";
    for (const ForwardStatus& s : sinks) {
        h += "<tr id=\"sink-" + HtmlText(s.sink) + "\"><td class=\"name\">" + HtmlText(s.sink) + "</td>";
        h += s.connected ? "<td><span class=\"state ok\">connected</span></td>"
                         : "<td><span class=\"state failing\">not connected</span></td>";
        h += "<td class=\"number\">" + std::to_string(s.backlogRows) +
             (s.backlogRows == 1 ? " entry</td>" : " entries</td>");
        h += "<td class=\"number\">" + (s.backlogRows > 0 ? Span(s.backlogSeconds) : std::string("&ndash;")) + "</td>";
        h += "<td class=\"number\">" + std::to_string(s.shipped) + "</td>";
        h += "<td class=\"number\">" + std::to_string(s.failures) + "</td>";
        h += "<td class=\"number\">" + std::to_string(s.rejected) + "</td></tr>\n";
    }
    h += "</tbody></table>\n";
}

}  // namespace

std::string StatusPage(const StatusSnapshot& snapshot, const std::string& gateway, std::int64_t now) {
    std::string h;
    Head(h, snapshot, gateway, now);
    h +=
        "<h2>Meters</h2>\n<table class=\"meters\"><thead><tr><th>Meter</th><th>Serial</th><th>Port</th><th>Address</th>"
        "<th>State</th><th>Last good read</th><th>Failures in a row</th><th>Records</th><th>Newest hour</th>"
        "<th>Energy used per hour, last 48 hours</th>"
        "</tr></thead><tbody>\n";
    for (const MeterState& m : snapshot.meters) MeterRow(h, m, now);
    h += "</tbody></table>\n<h2>Sinks</h2>\n";
    SinkTable(h, snapshot.sinks);
    h += "<footer>Times in UTC. For Prometheus: <a href=\"/metrics\">/metrics</a>.</footer>\n</body></html>\n";
    return h;
}

}  // namespace q31::tool::forward
