#include "sim/MeterHistory.h"

#include "sim/LogContent.h"

namespace q31::sim {

namespace {

const char* KindName(HistoryKind kind) {
    switch (kind) {
        case HistoryKind::Hour: return "hour";
        case HistoryKind::Day: return "day";
        case HistoryKind::Error: return "error";
        case HistoryKind::Edit: return "edit";
        case HistoryKind::Swap: return "swap";
        case HistoryKind::Reset: return "reset";
    }
    return "?";
}

std::string Signed(std::uint64_t value, std::uint32_t bytes) {
    if (bytes == 8) return std::to_string(static_cast<std::int64_t>(value));
    return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

void MeterHistory::Add(HistoryEntry entry) {
    entries_.push_back(std::move(entry));
    if (sink_) sink_(entries_.back());
}

void MeterHistory::SetSink(Sink sink) {
    sink_ = std::move(sink);
    if (sink_)
        for (const HistoryEntry& e : entries_) sink_(e);
}

std::vector<HistoryEntry> MeterHistory::Of(std::uint32_t serial) const {
    std::vector<HistoryEntry> out;
    for (const HistoryEntry& e : entries_)
        if (e.serial == serial) out.push_back(e);
    return out;
}

std::vector<std::uint64_t> MeterHistory::Values(std::uint32_t serial, ArchiveRing ring, ArchiveField field, int module,
                                                std::uint32_t number) const {
    const HistoryKind kind = ring == ArchiveRing::Hours ? HistoryKind::Hour : HistoryKind::Day;
    std::vector<std::uint64_t> out;
    for (const HistoryEntry& e : entries_)
        if (e.serial == serial && e.kind == kind && e.number == number) out.push_back(Value(e, field, module));
    return out;
}

std::uint64_t MeterHistory::Value(const HistoryEntry& entry, ArchiveField field, int module) {
    const ArchiveRing ring = entry.kind == HistoryKind::Day ? ArchiveRing::Days : ArchiveRing::Hours;
    return ArchiveFieldValue(ring, field, module, entry.number, entry.era);
}

std::string MeterHistory::JsonLine(const HistoryEntry& e) {
    std::string line = "{\"at\":" + std::to_string(static_cast<long long>(e.at)) +
                       ",\"address\":" + std::to_string(e.address) + ",\"serial\":" + std::to_string(e.serial) +
                       ",\"kind\":\"" + KindName(e.kind) + "\"";
    switch (e.kind) {
        case HistoryKind::Hour:
        case HistoryKind::Day: {
            line += ",\"record\":" + std::to_string(e.number) + ",\"era\":" + std::to_string(e.era) +
                    ",\"initial\":" + (e.initial ? "true" : "false");
            line += ",\"time\":" + Signed(Value(e, ArchiveField::Time, 1), 4);
            static const std::pair<const char*, ArchiveField> kSeries[] = {{"stop", ArchiveField::Stop},
                                                                           {"t", ArchiveField::T},
                                                                           {"u", ArchiveField::U},
                                                                           {"m", ArchiveField::M},
                                                                           {"e", ArchiveField::E}};
            for (const auto& [name, field] : kSeries) {
                line += std::string(",\"") + name + "\":[";
                for (int module = 1; module <= 6; ++module) {
                    if (module > 1) line += ',';
                    line += Signed(Value(e, field, module), ArchiveFieldBytes(field));
                }
                line += ']';
            }
            break;
        }
        case HistoryKind::Error:
        case HistoryKind::Edit:
            // Module numbers count from 1 as a reader names them; 0 is the device.
            line += ",\"module\":" + std::to_string(e.owner == kDeviceLog ? 0 : e.owner + 1) +
                    ",\"sequence\":" + std::to_string(e.number) + ",\"position\":" + std::to_string(e.position) +
                    ",\"data\":\"" + Hex(e.bytes) + "\"";
            break;
        case HistoryKind::Swap: line += ",\"old_serial\":" + std::to_string(e.number); break;
        case HistoryKind::Reset:
            line += ",\"hour_count\":" + std::to_string(e.number) + ",\"day_count\":" + std::to_string(e.era);
            break;
    }
    return line + "}";
}

}  // namespace q31::sim
