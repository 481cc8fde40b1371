#include "tools/q31/status/PrometheusText.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

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
    for (const std::string& outcome : outcomes) {
        const auto it = s.attempts.find({m.name, outcome});
        Sample(out, "q31_meter_attempts_total", labels + ",outcome=\"" + Label(outcome) + "\"",
               it == s.attempts.end() ? 0 : it->second.count);
    }
}

void MeterFamilies(std::string& out, const StatusSnapshot& s, const std::string& gateway) {
    std::vector<std::string> labels;
    for (const MeterState& m : s.meters)
        labels.push_back("gateway=\"" + Label(gateway) + "\",meter=\"" + Label(m.name) + "\"");
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
