#include "tools/q31/forward/HomeAssistant.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "tools/q31/common/KnownUnit.h"

namespace q31::tool::forward {

namespace {

using Json = nlohmann::ordered_json;

// The device's model: the meter's own name for itself, with a Cyrillic М.
constexpr const char* kModel = "Q31\u041c";

std::string Text(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// Discovery ids and topic levels: letters, digits, "_" and "-" only. Where
// that loses something of the name, a hash of the name keeps two names that
// fold to the same apart.
std::string Slug(const std::string& name) {
    std::string s;
    bool folded = false;
    for (char c : name) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        folded = folded || !keep;
        s += keep ? c : '_';
    }
    if (!folded) return s;
    std::uint32_t h = 2166136261u;
    for (unsigned char c : name) h = (h ^ c) * 16777619u;
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08x", h);
    return s + "_" + hash;
}

// A unit in an id: the common signs spelled out rather than hashed ("m³" -> "m3").
std::string UnitSlug(const std::string& unit) {
    std::string s = unit;
    for (const auto& [sign, plain] :
         {std::pair<std::string, std::string>{"\u00b3", "3"}, {"\u00b2", "2"}, {"\u00b0", "deg"}})
        for (auto at = s.find(sign); at != std::string::npos; at = s.find(sign, at)) s.replace(at, sign.size(), plain);
    return Slug(s);
}

std::string Letter(const std::string& series) { return series.substr(0, series.find('_')); }

// A temperature is a measurement; the other series are registers that only count up.
bool IsTotal(const std::string& letter) { return letter != "t"; }

}  // namespace

HomeAssistant::HomeAssistant(std::string discoveryPrefix, const MqttMessages& topics, std::string gateway)
    : discoveryPrefix_(std::move(discoveryPrefix)), topics_(topics), gateway_(std::move(gateway)) {}

std::string HomeAssistant::Node() const { return "q31_" + Slug(gateway_); }

std::string HomeAssistant::AvailabilityTopic() const { return topics_.GatewayTopic("availability"); }

MqttMessage HomeAssistant::GatewayConfig() const {
    const Json device{
        {"identifiers", Json::array({Node()})}, {"name", "q31 collect " + gateway_}, {"model", "q31 collect"}};
    const Json config{
        {"name", "Collector"},    {"unique_id", Node() + "_collector"}, {"state_topic", AvailabilityTopic()},
        {"payload_on", "online"}, {"payload_off", "offline"},           {"device_class", "connectivity"},
        {"device", device}};
    return {discoveryPrefix_ + "/binary_sensor/" + Node() + "/collector/config", Text(config), true};
}

MqttMessage HomeAssistant::Config(const HomeAssistantReading& r, const std::string& object,
                                  const std::string& stateTopic) const {
    const std::string letter = Letter(r.series);
    Json config{{"name", r.module > 1 ? r.name + " " + std::to_string(r.module) : r.name},
                {"unique_id", Node() + "_" + object},
                {"state_topic", stateTopic},
                {"value_template", "{{ value_json.value }}"},
                {"json_attributes_topic", stateTopic},
                {"unit_of_measurement", r.unit}};
    if (const KnownUnit* known = FindKnownUnit(r.unit); known && !known->deviceClass.empty())
        config["device_class"] = known->deviceClass;
    config["state_class"] = IsTotal(letter) ? "total" : "measurement";
    config["availability_topic"] = AvailabilityTopic();
    config["payload_available"] = "online";
    config["payload_not_available"] = "offline";
    config["device"] = Json{{"identifiers", Json::array({Node() + "_" + Slug(r.meter)})},
                            {"name", r.meter},
                            {"serial_number", std::to_string(r.serial)},
                            {"model", kModel},
                            {"via_device", Node()}};
    return {discoveryPrefix_ + "/sensor/" + Node() + "/" + object + "/config", Text(config), true};
}

std::vector<MqttMessage> HomeAssistant::For(const HomeAssistantReading& r) {
    // The unit is in the id: a unit changed in the configuration starts an
    // entity of its own rather than mixing units in one history.
    const std::string object = Slug(r.meter) + "_" + std::to_string(r.serial) + "_" + std::to_string(r.epoch) + "_m" +
                               std::to_string(r.module) + "_" + Letter(r.series) + "_" + UnitSlug(r.unit);
    std::vector<MqttMessage> out;
    auto [it, added] = entities_.try_emplace(object);
    Entity& e = it->second;
    const std::string stateTopic = topics_.Topic(r.meter, "reading/" + object);
    if (added) {
        e.config = Config(r, object, stateTopic);
        e.total = IsTotal(Letter(r.series));
        out.push_back(e.config);
    }
    if (e.total && !e.state.topic.empty() && r.value < e.shown) return out;
    const Json state{{"value", r.value},
                     {"unit", r.unit},
                     {"raw", r.raw},
                     {"series", r.series},
                     {"module", r.module},
                     {"record", r.record},
                     {"closed_at", r.closedAt ? Json(*r.closedAt) : Json(nullptr)},
                     {"closed_at_estimated", r.estimated}};
    e.state = {stateTopic, Text(state), true};
    e.shown = r.value;
    out.push_back(e.state);
    return out;
}

std::vector<MqttMessage> HomeAssistant::All() const {
    std::vector<MqttMessage> out{GatewayConfig()};
    for (const auto& [object, e] : entities_) {
        out.push_back(e.config);
        if (!e.state.topic.empty()) out.push_back(e.state);
    }
    return out;
}

}  // namespace q31::tool::forward
