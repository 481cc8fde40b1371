#include "tools/q31/collect/CollectConfig.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

#include "tools/q31/collect/ConfigReader.h"
#include "tools/q31/collect/MeterConfig.h"
#include "tools/q31/collect/OutputsConfig.h"
#include "tools/q31/collect/PrintableText.h"
#include "tools/q31/collect/QuantityConfig.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool::collect {

namespace {

// The tables the file holds, written as their headers are; "[[...]]" is a
// table given once per entry. A further table is one more name here (and its
// reader in LoadCollectConfig).
constexpr std::string_view kTables[] = {"[collect]", "[defaults]", "[[meter]]", "[quantity]",
                                        "[sink]",    "[http]",     "[modems]"};

// Every key of the top level names a known table, in the form it is known in.
void CheckTables(const std::string& path, const toml::table& root) {
    for (auto&& [k, v] : root) {
        const std::string key(k.str());
        const auto known =
            std::find_if(std::begin(kTables), std::end(kTables), [&](std::string_view t) { return Bare(t) == key; });
        if (known == std::end(kTables)) {
            if (v.is_table() || v.is_array_of_tables())
                Refuse(path, k.source(), "[" + key + "]: unknown table (" + Hint(key, kTables) + ")");
            // A key written above the first header lands here.
            std::string home = "the file holds only " + Join(kTables);
            if (Contains(KeysOf(KeyTable::Collect), key)) home = "it belongs in [collect]";
            else if (Contains(KeysOf(KeyTable::Meter), key)) home = "it belongs in [defaults] or a [[meter]]";
            Refuse(path, k.source(), key + ": unknown key at the top level (" + home + ")");
        }
        const bool entries = known->starts_with("[[");
        if (entries ? !v.is_array_of_tables() : !v.is_table())
            Refuse(path, k.source(),
                   key + ": must be written as " + std::string(*known) + (entries ? " entries" : ", a table"));
    }
}

toml::table ParseFile(const std::string& path) {
    // toml++ says only that the file could not be opened; the reason tells
    // the operator what to do.
    if (!std::ifstream(path))
        throw ToolError(kExitBadArgument, path + ": cannot read the configuration: " + std::strerror(errno) +
                                              (errno == EACCES ? " (the service's own user reads it only while every "
                                                                 "user may: keep passwords in credentials, see q31(1))"
                                                               : ""));
    try {
        return toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        Refuse(path, e.source(), std::string(e.description()));
    }
}

void CheckDefaults(const std::string& path, const toml::table& defaults) {
    for (auto&& entry : defaults) {
        // A named key, not a structured binding: clang 14 lets no lambda
        // capture one.
        const toml::key& k = entry.first;
        const auto own = std::find_if(std::begin(kConfigKeys), std::end(kConfigKeys), [&](const KeyRow& row) {
            return row.table == KeyTable::Meter && row.own && row.key == k.str();
        });
        if (own != std::end(kConfigKeys))
            Refuse(path, k.source(), "defaults: " + std::string(k.str()) + ": set by each [[meter]] itself");
    }
    ConfigReader(path, defaults, nullptr, "defaults").RefuseUnknown(KeysOf(KeyTable::Meter, true));
}

void ReadCollect(const std::string& path, const toml::table& table, CollectConfig& config) {
    ConfigReader r(path, table, nullptr, "collect");
    r.RefuseUnknown(KeysOf(KeyTable::Collect));
    config.db = r.Get<std::string>("db").value_or(config.db);
    config.retries = static_cast<int>(r.Int(Key(KeyTable::Collect, "retries")));
    // No pause at all would try a dead port thousands of times a second.
    config.retryBaseMs = static_cast<int>(r.Int(Key(KeyTable::Collect, "retry_base_ms")));
    config.retryMaxMs = static_cast<int>(r.Int(Key(KeyTable::Collect, "retry_max_ms")));
    if (config.retryMaxMs < config.retryBaseMs)
        r.Fail(r.Find("retry_max_ms") ? "retry_max_ms" : "retry_base_ms",
               "retry_max_ms (" + std::to_string(config.retryMaxMs) + ") is below retry_base_ms (" +
                   std::to_string(config.retryBaseMs) + ")");
    config.confirm = ConfirmOf(r, config.confirm);
    config.gateway = r.Get<std::string>("gateway").value_or(config.gateway);
    if (r.Find("gateway")) CheckTopicLevel(r, "gateway", config.gateway);
}

// Meters on one line share its settings: the line is opened once.
void CheckLineMates(const ConfigReader& r, const MeterSettings& m, const std::vector<MeterSettings>& before) {
    for (const MeterSettings& other : before) {
        if (other.name == m.name) r.Fail("name", "another meter has this name");
        if (other.port != m.port) continue;
        if (other.address == m.address)
            r.Fail("address", "meter \"" + other.name + "\" on port " + m.port + " has this address too");
        if (other.line.baud != m.line.baud || other.line.parity != m.line.parity ||
            other.line.stopBits != m.line.stopBits || other.echo != m.echo)
            r.Fail("port", "shared with meter \"" + other.name +
                               "\", which has other line settings (baud, parity, stop_bits and echo must agree)");
    }
}

void ReadMeters(const std::string& path, const toml::array& meters, const toml::table* defaults,
                const toml::node* quantities, CollectConfig& config) {
    std::size_t index = 0;
    for (const toml::node& n : meters) {
        const toml::table& t = *n.as_table();
        // The name helps find the entry among many, but its own faults are
        // reported after a mistyped key, which may be the name itself.
        const auto name = t["name"].value_exact<std::string>();
        std::string where = "meter " + std::to_string(++index);
        if (name && !name->empty()) where += " (\"" + *name + "\")";
        const ConfigReader r(path, t, defaults, where);
        r.RefuseUnknown(KeysOf(KeyTable::Meter));
        MeterSettings m = ReadMeter(r, config.confirm);
        m.quantities = ReadQuantities(path, quantities, t.get("quantity"), where);
        CheckLineMates(r, m, config.meters);
        config.meters.push_back(std::move(m));
    }
}

// Topics are PREFIX/GATEWAY/METER/KIND: the sink writes a wildcard in a
// name as "_", and two meters ("a+b", "a_b") would share topics.
void CheckTopicNames(const std::string& path, const toml::array& meters, const CollectConfig& config) {
    std::size_t i = 0;
    for (const toml::node& n : meters) {
        const MeterSettings& m = config.meters[i++];
        if (m.name.find_first_of("+#") != std::string::npos)
            ConfigReader(path, *n.as_table(), nullptr, "meter " + std::to_string(i) + " (\"" + m.name + "\")")
                .Fail("name", "holds an MQTT wildcard (+ or #), which no topic may carry ([sink.mqtt] is on)");
    }
}

void ReadModems(const std::string& path, const toml::table& table, ModemSettings& m) {
    ConfigReader r(path, table, nullptr, "modems");
    r.RefuseUnknown(KeysOf(KeyTable::Modems));
    m.enabled = true;
    m.listen = r.Get<std::string>("listen").value_or("");
    if (m.listen.empty()) r.Fail("listen", "required: HOST:PORT the modems call, e.g. \"0.0.0.0:4059\"");
    CheckListen(r, m.listen);
    m.idLength = static_cast<int>(r.Int(Key(KeyTable::Modems, "id_length")));
    m.idEnd = r.Get<std::string>("id_end").value_or(m.idEnd);
    if (m.idEnd.empty() || m.idEnd.size() > 8) r.Fail("id_end", "must be 1 to 8 characters");
    m.heartbeats = r.Strings("heartbeats");
    for (const std::string& h : m.heartbeats)
        if (h.empty() || h.size() > 64) r.Fail("heartbeats", "each must be 1 to 64 characters");
    m.registerTimeoutS = static_cast<int>(r.Int(Key(KeyTable::Modems, "register_timeout_s")));
    m.onceWaitS = static_cast<int>(r.Int(Key(KeyTable::Modems, "once_wait_s")));
}

// A meter behind a modem needs the listener its modem calls.
void CheckModemPorts(const std::string& path, const toml::array& meters, const CollectConfig& config) {
    std::size_t i = 0;
    for (const toml::node& n : meters) {
        const MeterSettings& m = config.meters[i++];
        if (m.port.rfind("modem:", 0) != 0) continue;
        const ConfigReader r(path, *n.as_table(), nullptr, "meter " + std::to_string(i) + " (\"" + m.name + "\")");
        if (m.port.size() == 6 || HasControl(m.port)) r.Fail("port", "a meter behind a modem is on modem:ID");
        if (!config.modems.enabled) r.Fail("port", "modem: ports need a [modems] table with listen = \"HOST:PORT\"");
    }
}

void GatherSimLines(CollectConfig& config) {
    for (MeterSettings& m : config.meters) {
        if (!m.Virtual()) continue;
        for (const MeterSettings& other : config.meters)
            if (other.port == m.port && (m.simLine.empty() || other.sim.given))
                m.simLine.push_back({other.address, other.sim.serial.value_or(other.serial), other.sim});
    }
}

}  // namespace

CollectConfig LoadCollectConfig(const std::string& path) {
    const toml::table root = ParseFile(path);
    CheckTables(path, root);
    CollectConfig config;
    const toml::table* defaults = root["defaults"].as_table();
    if (defaults) CheckDefaults(path, *defaults);
    if (const toml::table* c = root["collect"].as_table()) ReadCollect(path, *c, config);
    ReadOutputs(path, root, config);
    if (const toml::table* t = root["modems"].as_table()) ReadModems(path, *t, config.modems);
    const toml::array* meters = root["meter"].as_array();
    if (!meters || meters->empty()) throw ToolError(kExitBadArgument, path + ": no [[meter]] entries");
    ReadMeters(path, *meters, defaults, root.get("quantity"), config);
    if (config.mqtt.enabled) CheckTopicNames(path, *meters, config);
    CheckModemPorts(path, *meters, config);
    GatherSimLines(config);
    return config;
}

std::size_t LineCount(const CollectConfig& config) {
    std::set<std::string> ports;
    for (const MeterSettings& m : config.meters) ports.insert(m.port);
    return ports.size();
}

}  // namespace q31::tool::collect
