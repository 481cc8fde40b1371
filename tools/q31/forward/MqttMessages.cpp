#include "tools/q31/forward/MqttMessages.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "tools/q31/common/HexText.h"

namespace q31::tool::forward {

namespace {

using Json = nlohmann::ordered_json;

// A topic level holds the name as far as MQTT allows it: "/" would add a
// level and "+" or "#" make the topic a filter, which the broker refuses.
std::string Level(const std::string& name) {
    std::string s = name;
    for (char& c : s)
        if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
    return s;
}

// Text from a meter or the operator that is not UTF-8 must not stop the
// shipment: such bytes go out as U+FFFD.
std::string Text(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// 64-bit FNV-1a: what a message carries, as a short text for its id.
std::string Hash(const std::string& text) {
    std::uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

// The message with its id: `key` (which says what the message is about, for
// a person) and a hash of everything else the message carries, so that the
// same id always names the same content and different content never shares
// an id. `m` has its "id" first, as null.
std::string WithId(Json& m, const std::string& key) {
    m["id"] = "";
    const std::string body = Text(m);  // {"id":"",...
    m["id"] = key + "#" + Hash(body.substr(8));
    return Text(m);
}

// The part of an archive id after gateway/generation/meter/serial/epoch
// that tells one batch of a series from another of the same.
std::string ArchiveRange(const ArchiveRows& a) {
    if (!a.values.empty()) return std::to_string(a.first) + "-" + std::to_string(a.first + a.values.size() - 1);
    if (a.gap) return "gap-" + std::to_string(a.gap->first) + "-" + std::to_string(a.gap->second);
    return "none-" + std::to_string(a.first);
}

std::string LogRange(const LogRows& l) {
    if (l.block == 0) return "head";
    std::string s = std::to_string(l.block) + "/";
    if (l.records.empty()) return s + "none";
    return s + std::to_string(l.records.front().position) + "-" + std::to_string(l.records.back().position);
}

// The members every message carries, "id" first (null until WithId).
Json Head(const JournalBatch& b, const std::string& gateway, const std::string& generation) {
    return Json{
        {"id", nullptr}, {"gateway", gateway}, {"generation", generation}, {"meter", b.meter}, {"serial", b.serial}};
}

// "2025-12-08T13:00:00Z": what a subscriber's date parser takes as it is.
std::string IsoUtc(std::int64_t unixSeconds) {
    using namespace std::chrono;
    const sys_seconds t{seconds{unixSeconds}};
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return out;
}

// Each record as a subscriber uses it: the value in its unit (or the raw
// register, marked so), the raw register beside it, and when it closed.
Json Readings(const ArchiveRows& a) {
    Json out = Json::array();
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const RecordStamp s = i < a.stamps.size() ? a.stamps[i] : RecordStamp{};
        Json r{{"record", a.first + i}};
        r["closed_at"] = s.closedAt ? Json(IsoUtc(*s.closedAt)) : Json(nullptr);
        r["estimated"] = s.estimated;
        if (s.quantity) r["value"] = *s.quantity;
        else r["value"] = a.values[i];
        r["unit"] = s.quantity ? Json(s.unit) : Json(nullptr);
        r["is_raw"] = !s.quantity;
        r["raw"] = a.values[i];
        out.push_back(std::move(r));
    }
    return out;
}

// The key's part for the meter's unit: serial number and epoch.
std::string UnitPart(const JournalBatch& b) { return std::to_string(b.serial) + "/" + std::to_string(b.epoch) + "/"; }

}  // namespace

MqttMessages::MqttMessages(std::string prefix, std::string gateway)
    : prefix_(std::move(prefix)), gateway_(std::move(gateway)) {}

std::string MqttMessages::Topic(const std::string& meter, const std::string& kind) const {
    return prefix_ + "/" + Level(gateway_) + "/" + Level(meter) + "/" + kind;
}

std::string MqttMessages::GatewayTopic(const std::string& kind) const {
    return prefix_ + "/" + Level(gateway_) + "/" + kind;
}

std::string MqttMessages::GenerationTopic() const { return GatewayTopic("generation"); }

std::string MqttMessages::GenerationPayload() const {
    return Text(Json{{"gateway", gateway_}, {"generation", generation_}});
}

std::string MqttMessages::Key(const JournalBatch& b) const {
    return gateway_ + "/" + generation_ + "/" + b.meter + "/";
}

std::vector<MqttMessage> MqttMessages::For(const JournalBatch& b) {
    switch (b.kind) {
        case JournalBatch::Kind::Archive: return {Archive(b)};
        case JournalBatch::Kind::Snapshot: return {Snapshot(b)};
        case JournalBatch::Kind::Log: return {Log(b)};
        case JournalBatch::Kind::Attempt: return {Attempt(b), State(b)};
        case JournalBatch::Kind::Event: return {Event(b)};
    }
    return {};
}

MqttMessage MqttMessages::Archive(const JournalBatch& b) const {
    const ArchiveRows& a = b.archive;
    Json m = Head(b, gateway_, generation_);
    m["epoch"] = b.epoch;
    m["module"] = a.module;
    m["series"] = a.series;
    if (a.values.empty()) m["records"] = nullptr;
    else m["records"] = {{"first", a.first}, {"last", a.first + a.values.size() - 1}};
    m["values"] = a.values;
    m["readings"] = Readings(a);
    if (a.gap) m["gap"] = {{"first", a.gap->first}, {"last", a.gap->second}};
    else m["gap"] = nullptr;
    const std::string id = Key(b) + UnitPart(b) + a.series + "/" + std::to_string(a.module) + "/" + ArchiveRange(a);
    return {Topic(b.meter, "archive"), WithId(m, id), false};
}

MqttMessage MqttMessages::Snapshot(const JournalBatch& b) const {
    const SnapshotRow& s = b.snapshot;
    Json m = Head(b, gateway_, generation_);
    m["kind"] = s.kind;
    m["taken_at"] = s.takenAt;
    // The stored JSON goes in as it is; text that is not JSON goes as a string.
    Json data = Json::parse(s.json, nullptr, false);
    m["data"] = data.is_discarded() ? Json(s.json) : std::move(data);
    return {Topic(b.meter, "snapshot"), WithId(m, Key(b) + "snapshot/" + s.kind + "/" + std::to_string(s.takenAt)),
            false};
}

MqttMessage MqttMessages::Log(const JournalBatch& b) const {
    const LogRows& l = b.log;
    Json m = Head(b, gateway_, generation_);
    m["epoch"] = b.epoch;
    m["log"] = l.log;
    m["module"] = l.module;
    m["block"] = l.block;
    Json records = Json::array();
    for (const LogRow& r : l.records)
        records.push_back({{"block", r.block}, {"position", r.position}, {"data", HexText(r.data)}});
    m["records"] = std::move(records);
    m["head"] = l.head;
    const std::string id = Key(b) + UnitPart(b) + l.log + "/" + std::to_string(l.module) + "/" + LogRange(l);
    return {Topic(b.meter, "log"), WithId(m, id), false};
}

MqttMessage MqttMessages::Attempt(const JournalBatch& b) const {
    const AttemptRow& a = b.attempt;
    Json m = Head(b, gateway_, generation_);
    m["serial"] = a.serialExpected;
    m["serial_found"] = a.serialFound ? Json(*a.serialFound) : Json(nullptr);
    m["started_at"] = a.startedAt;
    m["ended_at"] = a.endedAt;
    m["outcome"] = a.outcome;
    m["message"] = a.message;
    m["packets"] = a.packets;
    m["resends"] = a.resends;
    m["failures"] = a.failuresInRow;
    return {Topic(b.meter, "attempt"), WithId(m, Key(b) + "attempt/" + std::to_string(a.id)), false};
}

MqttMessage MqttMessages::State(const JournalBatch& b) {
    const AttemptRow& a = b.attempt;
    std::optional<std::int64_t> lastOk = a.lastOk;
    if (!lastOk && a.outcome == "ok") lastOk = a.endedAt;
    if (!lastOk) {
        const auto known = lastOk_.find(b.meter);
        if (known != lastOk_.end()) lastOk = known->second;
    }
    if (lastOk) lastOk_[b.meter] = *lastOk;
    const Json state{{"last_read", lastOk ? Json(*lastOk) : Json(nullptr)},
                     {"outcome", a.outcome},
                     {"failures", a.failuresInRow},
                     {"at", a.endedAt}};
    // Retained: a dashboard that subscribes later learns at once how the meter stands.
    return {Topic(b.meter, "state"), Text(state), true};
}

MqttMessage MqttMessages::Event(const JournalBatch& b) const {
    const EventRow& e = b.event;
    Json m = Head(b, gateway_, generation_);
    m["epoch"] = b.epoch;
    m["event"] = e.kind;
    m["detail"] = e.detail;
    m["at"] = e.at;
    return {Topic(b.meter, "event"), WithId(m, Key(b) + "event/" + std::to_string(e.id)), false};
}

}  // namespace q31::tool::forward
