#include "tools/q31/status/PrometheusText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <map>

#include "tools/q31/common/KnownUnit.h"

namespace q31::tool::forward {

namespace {

// Every outcome an attempt can have; each is shown, at 0 too, so that a rate
// over an outcome exists before its first occurrence.
const char* const kOutcomes[] = {"ok", "no answer", "other meter", "port error", "port busy", "error"};

// A label value: backslash, double quote and line feed are escaped.
std::string Label(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

// An outcome as a label value: snake_case ("no answer" -> "no_answer"), as
// queries and alert rules spell their matchers.
std::string Snake(const std::string& s) {
    std::string out;
    for (char c : s) {
        const bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (c >= 'A' && c <= 'Z') out += static_cast<char>(c - 'A' + 'a');
        else if (word) out += c;
        else if (!out.empty() && out.back() != '_') out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out.empty() ? "other" : out;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, std::int64_t value) {
    out += name;
    out += '{';
    out += labels;
    out += "} ";
    out += std::to_string(value);
    out += '\n';
}

// A sample value as the text format has it: Go's spelling of the infinities and NaN.
std::string Real(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    // The shortest text that reads back as the same double.
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

// A family with one sample per meter, `value` of each.
template <typename Value>
void MeterFamily(std::string& out, const StatusSnapshot& s, const std::vector<std::string>& labels, const char* name,
                 const char* type, const char* help, Value value) {
    Family(out, name, type, help);
    for (std::size_t i = 0; i < s.meters.size(); ++i) Sample(out, name, labels[i], value(s.meters[i]));
}

// The known outcomes in their order, then any other the meter had.
void AttemptSamples(std::string& out, const StatusSnapshot& s, const MeterState& m, const std::string& labels) {
    std::vector<std::string> outcomes(std::begin(kOutcomes), std::end(kOutcomes));
    for (auto it = s.attempts.lower_bound({m.name, ""}); it != s.attempts.end() && it->first.first == m.name; ++it)
        if (std::find(outcomes.begin(), outcomes.end(), it->first.second) == outcomes.end())
            outcomes.push_back(it->first.second);
    // Two outcomes that differ only in what snake_case drops share a sample.
    std::vector<std::pair<std::string, std::int64_t>> samples;
    for (const std::string& outcome : outcomes) {
        const auto it = s.attempts.find({m.name, outcome});
        const std::int64_t count = it == s.attempts.end() ? 0 : it->second.count;
        const std::string label = Snake(outcome);
        const auto same = std::find_if(samples.begin(), samples.end(), [&](const auto& p) { return p.first == label; });
        if (same == samples.end()) samples.emplace_back(label, count);
        else same->second += count;
    }
    for (const auto& [label, count] : samples)
        Sample(out, "q31_meter_attempts_total", labels + ",outcome=\"" + Label(label) + "\"", count);
}

// One gauge family per base unit (q31_meter_energy_joules, ...), the values
// converted to it; a unit not known goes to q31_meter_value with the unit as
// a label. Each has its _timestamp_seconds: when the record closed.
void ValueFamilies(std::string& out, const StatusSnapshot& s, const std::vector<std::string>& labels) {
    struct Samples {
        std::string help;
        std::vector<std::string> values, times;
    };
    std::map<std::string, Samples> families;
    for (std::size_t i = 0; i < s.meters.size(); ++i) {
        for (const SeriesValue& v : s.meters[i].values) {
            const KnownUnit* known = FindKnownUnit(v.unit);
            const std::string name = known ? "q31_meter_" + std::string(known->metric) : "q31_meter_value";
            std::string l =
                labels[i] + ",module=\"" + std::to_string(v.module) + "\",series=\"" + Label(v.series) + "\"";
            if (!known) l += ",unit=\"" + Label(v.unit) + "\"";
            Samples& f = families[name];
            if (known && f.help.empty())
                f.help = "The newest stored value of each series, as " + std::string(known->measure) +
                         "; cached from the collector's last read, not read at the scrape.";
            else if (f.help.empty())
                f.help =
                    "The newest stored value of each series whose unit has no base unit here, in its unit "
                    "(label unit); cached from the collector's last read, not read at the scrape.";
            f.values.push_back(name + "{" + l + "} " + Real(known ? v.quantity * known->toBase : v.quantity) + "\n");
            if (v.closedAt)
                f.times.push_back(name + "_timestamp_seconds{" + l + "} " + std::to_string(*v.closedAt) + "\n");
        }
    }
    for (const auto& [name, f] : families) {
        Family(out, name.c_str(), "gauge", f.help.c_str());
        for (const std::string& line : f.values) out += line;
        if (f.times.empty()) continue;
        const std::string times = name + "_timestamp_seconds";
        Family(out, times.c_str(), "gauge",
               "When the record of the newest stored value closed (the end of its hour or day), Unix time.");
        for (const std::string& line : f.times) out += line;
    }
}

// What a meter is, to join on its name: always 1.
void InfoFamily(std::string& out, const StatusSnapshot& s, const std::vector<std::string>& labels) {
    Family(out, "q31_meter_info", "gauge",
           "The meter as configured and last identified (serial number, bus address, port); always 1.");
    for (std::size_t i = 0; i < s.meters.size(); ++i) {
        const MeterState& m = s.meters[i];
        Sample(out, "q31_meter_info",
               labels[i] + ",serial=\"" + std::to_string(m.serial) + "\",address=\"" + std::to_string(m.address) +
                   "\",port=\"" + Label(m.port) + "\"",
               1);
    }
}

void MeterFamilies(std::string& out, const StatusSnapshot& s, const std::string& gateway) {
    std::vector<std::string> labels;
    for (const MeterState& m : s.meters)
        labels.push_back("gateway=\"" + Label(gateway) + "\",meter=\"" + Label(m.name) + "\"");
    InfoFamily(out, s, labels);
    MeterFamily(out, s, labels, "q31_meter_last_success_timestamp_seconds", "gauge",
                "When the meter was last read without a failure, Unix time; 0 when never.",
                [](const MeterState& m) { return m.lastOk.value_or(0); });
    Family(out, "q31_meter_attempts_total", "counter", "Passes over the meter, by outcome.");
    for (std::size_t i = 0; i < s.meters.size(); ++i) AttemptSamples(out, s, s.meters[i], labels[i]);
    MeterFamily(out, s, labels, "q31_meter_packets_total", "counter",
                "Packets written to the meter, re-sends included.",
                [&](const MeterState& m) { return s.AttemptTotal(m.name).packets; });
    MeterFamily(out, s, labels, "q31_meter_resends_total", "counter",
                "Packets written again after a damaged or missing reply.",
                [&](const MeterState& m) { return s.AttemptTotal(m.name).resends; });
    Family(out, "q31_meter_rejected_replies_total", "counter", "Replies thrown away, by reason.");
    for (std::size_t i = 0; i < s.meters.size(); ++i) {
        const AttemptSums sums = s.AttemptTotal(s.meters[i].name);
        Sample(out, "q31_meter_rejected_replies_total", labels[i] + ",reason=\"checksum\"", sums.rejectedChecksum);
        Sample(out, "q31_meter_rejected_replies_total", labels[i] + ",reason=\"other\"", sums.rejectedOther);
    }
    MeterFamily(out, s, labels, "q31_meter_timeouts_total", "counter", "Packets the meter did not answer in time.",
                [&](const MeterState& m) { return s.AttemptTotal(m.name).timeouts; });
    MeterFamily(out, s, labels, "q31_meter_records_stored_total", "counter",
                "Archive values stored, of every series and module.", [](const MeterState& m) { return m.records; });
    MeterFamily(out, s, labels, "q31_meter_gaps_total", "counter",
                "Ranges of records the meter overwrote before they were read.",
                [](const MeterState& m) { return m.gaps; });
    MeterFamily(out, s, labels, "q31_meter_failures_in_row", "gauge",
                "Passes over the meter that failed since the last good one.",
                [](const MeterState& m) { return m.failures; });
    ValueFamilies(out, s, labels);
}

void SinkFamilies(std::string& out, const std::vector<ForwardStatus>& sinks, const std::string& gateway) {
    auto family = [&](const char* name, const char* type, const char* help,
                      std::int64_t (*value)(const ForwardStatus&)) {
        Family(out, name, type, help);
        for (const ForwardStatus& s : sinks)
            Sample(out, name, "gateway=\"" + Label(gateway) + "\",sink=\"" + Label(s.sink) + "\"", value(s));
    };
    family("q31_sink_backlog_rows", "gauge", "Journal entries not shipped to the sink yet.",
           [](const ForwardStatus& s) { return s.backlogRows; });
    family("q31_sink_backlog_seconds", "gauge", "Age of the oldest journal entry not shipped yet.",
           [](const ForwardStatus& s) { return s.backlogSeconds; });
    family("q31_sink_connected", "gauge", "1 while the sink is connected.",
           [](const ForwardStatus& s) -> std::int64_t { return s.connected ? 1 : 0; });
    family("q31_sink_shipped_total", "counter", "Journal entries shipped since the collector started.",
           [](const ForwardStatus& s) { return s.shipped; });
    family("q31_sink_failures_total", "counter", "Connections or shipments that failed since the start.",
           [](const ForwardStatus& s) { return s.failures; });
    family("q31_sink_rejected_total", "counter",
           "Messages or rows the sink refused for what they hold, set aside since the start.",
           [](const ForwardStatus& s) { return s.rejected; });
}

// Seconds with the millisecond the collector's loop can tell.
void ChannelFamily(std::string& out, const StatusSnapshot& s, const std::string& gateway) {
    Family(out, "q31_channel_cycle_seconds", "gauge",
           "How long the last pass over the channel's meters took, from the first start to the last end.");
    char value[32];
    for (const auto& [channel, seconds] : s.channels) {
        std::snprintf(value, sizeof value, "%.3f", seconds);
        out += "q31_channel_cycle_seconds{gateway=\"" + Label(gateway) + "\",channel=\"" + Label(channel) + "\"} " +
               value + "\n";
    }
}

}  // namespace

std::string PrometheusText(const StatusSnapshot& snapshot, const std::string& gateway) {
    std::string out;
    MeterFamilies(out, snapshot, gateway);
    if (!snapshot.sinks.empty()) SinkFamilies(out, snapshot.sinks, gateway);
    if (!snapshot.channels.empty()) ChannelFamily(out, snapshot, gateway);
    return out;
}

}  // namespace q31::tool::forward
