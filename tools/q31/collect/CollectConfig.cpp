#include "tools/q31/collect/CollectConfig.h"

#include <algorithm>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "tools/q31/ArchiveSeries.h"
#include "tools/q31/ConfirmOption.h"
#include "tools/q31/ToolError.h"

namespace q31::tool::collect {

namespace {

// Keys a meter entry may carry; any other is a typing error worth stopping for.
const std::set<std::string> kMeterKeys{"name",
                                       "port",
                                       "baud",
                                       "parity",
                                       "stop_bits",
                                       "echo",
                                       "serial",
                                       "address",
                                       "timeout_ms",
                                       "send_limit",
                                       "confirm",
                                       "series",
                                       "rings",
                                       "modules",
                                       "logs",
                                       "current_every_min",
                                       "archive_every_min",
                                       "sim"};
const std::set<std::string> kSimKeys{"serial",       "modules",        "hour_count", "day_count",
                                     "version_word", "reply_delay_ms", "faults",     "clock_rate"};

class Reader {
public:
    Reader(std::string file, const toml::table& meter, const toml::table* defaults, std::string where)
        : file_(std::move(file)), meter_(meter), defaults_(defaults), where_(std::move(where)) {}

    [[noreturn]] void Fail(const std::string& key, const std::string& what) const {
        throw ToolError(kExitBadArgument, file_ + ": " + where_ + ": " + key + ": " + what);
    }

    // The meter's own value, else the [defaults] one.
    toml::node_view<const toml::node> Find(const std::string& key) const {
        if (auto v = meter_[key]) return v;
        if (defaults_) return (*defaults_)[key];
        return {};
    }

    template <typename T>
    std::optional<T> Get(const std::string& key) const {
        auto v = Find(key);
        if (!v) return std::nullopt;
        if (auto x = v.template value_exact<T>()) return x;
        Fail(key, "wrong type");
    }

    std::int64_t Int(const std::string& key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const {
        const std::int64_t v = Get<std::int64_t>(key).value_or(fallback);
        if (v < lo || v > hi) Fail(key, "must lie in " + std::to_string(lo) + ".." + std::to_string(hi));
        return v;
    }

    // A whole or fractional number of minutes.
    double Minutes(const std::string& key, double fallback, double lo, double hi, const std::string& text) const {
        double v = fallback;
        if (auto whole = Find(key).template value_exact<std::int64_t>()) v = static_cast<double>(*whole);
        else if (Find(key)) v = Get<double>(key).value_or(fallback);
        if (!(v >= lo && v <= hi)) Fail(key, "must lie in " + text + " minutes");
        return v;
    }

    std::vector<std::string> Strings(const std::string& key) const {
        std::vector<std::string> out;
        auto v = Find(key);
        if (!v) return out;
        const toml::array* a = v.as_array();
        if (!a) Fail(key, "must be an array of strings");
        for (const toml::node& n : *a) {
            auto s = n.value<std::string>();
            if (!s) Fail(key, "must be an array of strings");
            out.push_back(*s);
        }
        return out;
    }

    const std::string& File() const { return file_; }
    const std::string& Where() const { return where_; }

private:
    std::string file_;
    const toml::table& meter_;
    const toml::table* defaults_;
    std::string where_;
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::vector<int> SeriesOf(const Reader& r) {
    std::vector<std::string> rings = r.Strings("rings");
    if (rings.empty()) rings = {"hour", "day"};
    for (const std::string& ring : rings)
        if (ring != "hour" && ring != "day") r.Fail("rings", "\"" + ring + "\" is neither hour nor day");
    std::vector<std::string> names = r.Strings("series");
    if (names.empty()) names = {"time", "stop", "t", "u", "m", "e"};
    std::vector<int> out;
    auto add = [&](int s) {
        if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
    };
    // Hourly first, then daily: the hours are the ones a slow poll loses first.
    for (const std::string& ring : rings) {
        for (const std::string& raw : names) {
            const std::string name = Lower(raw);
            if (auto full = SeriesByName(name)) {
                if ((SeriesIsDaily(*full) ? "day" : "hour") == ring) add(*full);
                continue;
            }
            auto s = SeriesByName(name + "_" + ring);
            if (!s) r.Fail("series", "unknown series \"" + raw + "\" (time, stop, t, u, m, e, or e.g. t_hour)");
            add(*s);
        }
    }
    return out;
}

SimSpec SimOf(const Reader& outer, const toml::table* sim, std::uint64_t seed) {
    SimSpec spec;
    spec.seed = seed;
    if (!sim) return spec;
    spec.given = true;
    for (auto&& [k, v] : *sim) {
        (void)v;
        if (!kSimKeys.count(std::string(k.str()))) outer.Fail("sim." + std::string(k.str()), "unknown key");
    }
    Reader r(outer.File(), *sim, nullptr, outer.Where() + ": sim");
    if (auto s = r.Get<std::int64_t>("serial")) {
        if (*s < 0 || *s > 4294967295LL) r.Fail("serial", "out of range");
        spec.serial = static_cast<std::uint32_t>(*s);
    }
    spec.modules = static_cast<std::uint8_t>(r.Int("modules", spec.modules, 1, 6));
    spec.hourCount = static_cast<std::uint32_t>(r.Int("hour_count", spec.hourCount, 0, 4294967295LL));
    spec.dayCount = static_cast<std::uint32_t>(r.Int("day_count", spec.dayCount, 0, 4294967295LL));
    spec.versionWord = static_cast<std::uint16_t>(r.Int("version_word", spec.versionWord, 0, 0xFFFF));
    spec.replyDelayMs = static_cast<int>(r.Int("reply_delay_ms", 0, 0, 60000));
    if (auto c = (*sim)["clock_rate"]) {
        spec.clockRate = c.value<double>().value_or(-1);
        if (spec.clockRate < 0) r.Fail("clock_rate", "must be a number 0 or more");
    }
    if (auto f = (*sim)["faults"]) {
        const toml::array* a = f.as_array();
        if (!a) r.Fail("faults", "must be an array of {kind = \"...\", rate = P}");
        for (const toml::node& n : *a) {
            const toml::table* t = n.as_table();
            if (!t) r.Fail("faults", "must be an array of {kind = \"...\", rate = P}");
            sim::FaultRateOption o;
            const auto kind = (*t)["kind"].value<std::string>();
            const auto parsed = kind ? sim::ParseFaultKind(*kind) : std::nullopt;
            if (!parsed)
                r.Fail(
                    "faults",
                    "kind must be one of silence, bad-checksum, wrong-address, short, corrupt, delay, blind-corrupt");
            o.kind = *parsed;
            o.probability = (*t)["rate"].value<double>().value_or(-1);
            if (o.probability < 0 || o.probability > 1) r.Fail("faults", "rate must lie in 0..1");
            o.param = static_cast<int>((*t)["param"].value<std::int64_t>().value_or(0));
            spec.faults.push_back(o);
        }
    }
    return spec;
}

std::uint8_t ConfirmOf(const Reader& r, std::uint8_t fallback) {
    const auto name = r.Get<std::string>("confirm");
    if (!name) return fallback;
    const auto mode = ConfirmByName(*name);
    if (!mode) r.Fail("confirm", "must be " + std::string(kConfirmChoices) + ", not \"" + *name + "\"");
    return *mode;
}

// `confirm`: the [collect] table's mode, for a meter that names none.
MeterSpec MeterOf(const Reader& r, std::uint8_t confirm) {
    MeterSpec m;
    m.name = r.Get<std::string>("name").value_or("");
    if (m.name.empty()) r.Fail("name", "every meter needs a name");
    m.port = r.Get<std::string>("port").value_or("");
    if (m.port.empty()) r.Fail("port", "every meter needs a port (a device, or sim:SEED)");
    m.line.baud = static_cast<int>(r.Int("baud", 9600, 50, 4000000));
    if (!HostPortSpeedSupported(m.line.baud)) r.Fail("baud", "not a standard line speed");
    const std::string parity = Lower(r.Get<std::string>("parity").value_or("none"));
    if (parity == "none") m.line.parity = HostParity::None;
    else if (parity == "even") m.line.parity = HostParity::Even;
    else if (parity == "odd") m.line.parity = HostParity::Odd;
    else r.Fail("parity", "none, even or odd");
    m.line.stopBits = static_cast<int>(r.Int("stop_bits", 1, 1, 2));
    m.echo = r.Get<bool>("echo").value_or(false);
    m.serial = static_cast<std::uint32_t>(r.Int("serial", -1, 0, 4294967295LL));
    m.address = static_cast<std::uint8_t>(r.Int("address", 201, 1, 238));
    m.timeoutMs = static_cast<int>(r.Int("timeout_ms", 1000, 1, 600000));
    m.sendLimit = static_cast<int>(r.Int("send_limit", 3, 1, 1000));
    m.confirm = ConfirmOf(r, confirm);
    m.series = SeriesOf(r);
    for (const toml::node& n : [&]() -> const toml::array& {
             static const toml::array none;
             auto v = r.Find("modules");
             if (!v) return none;
             if (!v.as_array()) r.Fail("modules", "must be an array of module numbers 1..6");
             return *v.as_array();
         }()) {
        const auto x = n.value<std::int64_t>();
        if (!x || *x < 1 || *x > 6) r.Fail("modules", "must be an array of module numbers 1..6");
        m.modules.push_back(static_cast<int>(*x));
    }
    m.logs = r.Get<bool>("logs").value_or(true);
    m.currentEveryMin = static_cast<int>(r.Int("current_every_min", 15, 0, 1000000));
    m.archiveEveryMin = r.Minutes("archive_every_min", 60, 0.01, 1000000, "0.01..1000000");
    if (m.Virtual()) {
        std::uint64_t seed = 0;
        try {
            std::size_t used = 0;
            seed = std::stoull(m.port.substr(4), &used);
            if (used != m.port.size() - 4) throw std::invalid_argument("trailing");
        } catch (const std::exception&) {
            r.Fail("port", "a virtual meter is named sim:SEED, SEED a number");
        }
        auto sim = r.Find("sim");
        if (sim && !sim.as_table()) r.Fail("sim", "must be a table");
        m.sim = SimOf(r, sim ? sim.as_table() : nullptr, seed);
    }
    return m;
}

}  // namespace

CollectConfig LoadCollectConfig(const std::string& path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::ostringstream text;
        text << path << ":" << e.source().begin.line << ":" << e.source().begin.column << ": " << e.description();
        throw ToolError(kExitBadArgument, text.str());
    }
    CollectConfig config;
    const toml::table* defaults = root["defaults"].as_table();
    if (root["defaults"] && !defaults) throw ToolError(kExitBadArgument, path + ": defaults must be a table");
    if (defaults) {
        for (auto&& [k, v] : *defaults) {
            (void)v;
            const std::string key(k.str());
            if (!kMeterKeys.count(key) || key == "name" || key == "port" || key == "sim")
                throw ToolError(kExitBadArgument, path + ": defaults: " + key + ": not a key defaults can set");
        }
    }
    if (const toml::table* c = root["collect"].as_table()) {
        Reader r(path, *c, nullptr, "collect");
        config.db = r.Get<std::string>("db").value_or("");
        config.retries = static_cast<int>(r.Int("retries", config.retries, 0, 1000));
        config.retryBaseMs = static_cast<int>(r.Int("retry_base_ms", config.retryBaseMs, 0, 86400000));
        config.retryMaxMs = static_cast<int>(r.Int("retry_max_ms", config.retryMaxMs, 0, 86400000));
        config.confirm = ConfirmOf(r, config.confirm);
    }
    const toml::array* meters = root["meter"].as_array();
    if (!meters || meters->empty()) throw ToolError(kExitBadArgument, path + ": no [[meter]] entries");
    std::set<std::string> names;
    std::size_t index = 0;
    for (const toml::node& n : *meters) {
        ++index;
        const toml::table* t = n.as_table();
        if (!t) throw ToolError(kExitBadArgument, path + ": meter " + std::to_string(index) + " is not a table");
        const std::string where = "meter " + std::to_string(index);
        for (auto&& [k, v] : *t) {
            (void)v;
            if (!kMeterKeys.count(std::string(k.str())))
                throw ToolError(kExitBadArgument, path + ": " + where + ": " + std::string(k.str()) + ": unknown key");
        }
        MeterSpec m = MeterOf(Reader(path, *t, defaults, where), config.confirm);
        if (!names.insert(m.name).second)
            throw ToolError(kExitBadArgument, path + ": " + where + ": name \"" + m.name + "\" is used twice");
        config.meters.push_back(std::move(m));
    }
    // Meters on one line share its settings: the line is opened once.
    for (std::size_t i = 0; i < config.meters.size(); ++i)
        for (std::size_t j = 0; j < i; ++j) {
            const MeterSpec& a = config.meters[i];
            const MeterSpec& b = config.meters[j];
            if (a.port != b.port) continue;
            if (a.address == b.address)
                throw ToolError(kExitBadArgument, path + ": meters \"" + b.name + "\" and \"" + a.name +
                                                      "\" share port " + a.port + " and address " +
                                                      std::to_string(a.address));
            if (a.line.baud != b.line.baud || a.line.parity != b.line.parity || a.line.stopBits != b.line.stopBits ||
                a.echo != b.echo)
                throw ToolError(kExitBadArgument, path + ": meters \"" + b.name + "\" and \"" + a.name +
                                                      "\" share port " + a.port + " but not its line settings");
        }
    for (MeterSpec& m : config.meters) {
        if (!m.Virtual()) continue;
        for (const MeterSpec& other : config.meters)
            if (other.port == m.port && (m.simLine.empty() || other.sim.given))
                m.simLine.push_back({other.address, other.sim.serial.value_or(other.serial), other.sim});
    }
    return config;
}

}  // namespace q31::tool::collect
