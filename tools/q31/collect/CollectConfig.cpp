#include "tools/q31/collect/CollectConfig.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <span>
#include <sstream>
#include <string_view>
#include <type_traits>

#include <libpq-fe.h>
#include <toml++/toml.h>

#include "tools/q31/collect/PrintableText.h"
#include "tools/q31/common/ArchiveSeries.h"
#include "tools/q31/common/ConfirmOption.h"
#include "tools/q31/common/NamedChoice.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool::collect {

namespace {

using Keys = std::span<const std::string_view>;

// The tables the file holds, written as their headers are; "[[...]]" is a
// table given once per entry. A further table is one more name here (and its
// reader in LoadCollectConfig).
constexpr std::string_view kTables[] = {"[collect]", "[defaults]", "[[meter]]", "[sink]", "[http]"};
constexpr std::string_view kCollectKeys[] = {"db", "retries", "retry_base_ms", "retry_max_ms", "confirm", "gateway"};
constexpr std::string_view kSinks[] = {"postgres", "mqtt"};
constexpr std::string_view kPostgresKeys[] = {"url", "password_file", "batch_rows"};
constexpr std::string_view kMqttKeys[] = {"host",          "port",    "prefix",    "client_id", "username",
                                          "password_file", "ca_file", "cert_file", "key_file",  "keepalive_s"};
constexpr std::string_view kHttpKeys[] = {"listen"};
// The first three belong to one meter; [defaults] may set all the others.
constexpr std::string_view kMeterKeys[] = {"name",
                                           "port",
                                           "sim",
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
                                           "archive_every_min"};
constexpr std::size_t kOwnMeterKeys = 3;
constexpr std::string_view kSimKeys[] = {"serial",       "modules",        "hour_count", "day_count",
                                         "version_word", "reply_delay_ms", "faults",     "clock_rate"};
constexpr std::string_view kFaultKeys[] = {"kind", "rate", "param"};
// What a meter reads when its entry names no series: every series of both
// rings, hourly first, since the hours are the ones a slow poll loses first.
constexpr std::string_view kSeriesStems[] = {"time", "stop", "t", "u", "m", "e"};
constexpr std::string_view kRings[] = {"hour", "day"};

bool Contains(Keys keys, std::string_view key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); }

std::string Join(Keys keys) {
    std::string out;
    for (std::string_view k : keys) (out += out.empty() ? "" : ", ") += k;
    return out;
}

// "file:line:column: " of a place in the file; the file alone when toml++
// knows no place (a table made by a dotted key has none).
std::string At(const std::string& file, const toml::source_region& where) {
    if (where.begin.line == 0) return file + ": ";
    return file + ":" + std::to_string(where.begin.line) + ":" + std::to_string(where.begin.column) + ": ";
}

[[noreturn]] void Refuse(const std::string& file, const toml::source_region& where, const std::string& text) {
    // The text quotes the file, and the file may hold a newline in a name.
    throw ToolError(kExitBadArgument, At(file, where) + Printable(text));
}

// Letters inserted, dropped or changed to turn `a` into `b`.
std::size_t Distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1] ? 1 : 0)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string_view Bare(std::string_view name) {
    while (!name.empty() && name.front() == '[') name.remove_prefix(1);
    while (!name.empty() && name.back() == ']') name.remove_suffix(1);
    return name;
}

// The known name a typing slip away from `name` ("did you mean ..."), else
// every known name: an operator fixes a typo faster than he reads a manual.
std::string Hint(std::string_view name, Keys known) {
    std::string_view best;
    std::size_t bestDistance = std::max<std::size_t>(1, name.size() / 3) + 1;
    for (std::string_view k : known) {
        const std::size_t d = Distance(name, Bare(k));
        if (d < bestDistance) {
            best = k;
            bestDistance = d;
        }
    }
    if (best.empty()) return "known: " + Join(known);
    return "did you mean " + (best == Bare(best) ? "\"" + std::string(best) + "\"" : std::string(best)) + "?";
}

template <typename T>
constexpr const char* kTypeText = std::is_same_v<T, std::int64_t> ? "a whole number"
                                  : std::is_same_v<T, bool>       ? "true or false"
                                                                  : "text in quotes";

// One table of the file, for the messages that name its place and its keys.
class Reader {
public:
    // `defaults`: where a key the table lacks is looked up next.
    Reader(std::string file, const toml::table& table, const toml::table* defaults, std::string where)
        : file_(std::move(file)), table_(table), defaults_(defaults), where_(std::move(where)) {}

    // At the value at fault, wherever it was written ([defaults] included),
    // or at the table's head when the key is missing.
    [[noreturn]] void Fail(std::string_view key, const std::string& what) const {
        const toml::node* n = Find(key).node();
        Refuse(file_, n ? n->source() : table_.source(), where_ + ": " + std::string(key) + ": " + what);
    }

    void RefuseUnknown(Keys known) const {
        for (auto&& [k, v] : table_) {
            (void)v;
            if (!Contains(known, k.str()))
                Refuse(file_, k.source(),
                       where_ + ": " + std::string(k.str()) + ": unknown key (" + Hint(k.str(), known) + ")");
        }
    }

    toml::node_view<const toml::node> Find(std::string_view key) const {
        if (auto v = table_[key]) return v;
        if (defaults_) return (*defaults_)[key];
        return {};
    }

    template <typename T>
    std::optional<T> Get(std::string_view key) const {
        auto v = Find(key);
        if (!v) return std::nullopt;
        if (auto x = v.template value_exact<T>()) return x;
        Fail(key, std::string("wrong type: must be ") + kTypeText<T>);
    }

    std::int64_t Int(std::string_view key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const {
        const std::int64_t v = Get<std::int64_t>(key).value_or(fallback);
        if (v < lo || v > hi) Fail(key, "must lie in " + std::to_string(lo) + ".." + std::to_string(hi));
        return v;
    }

    std::int64_t Required(std::string_view key, std::int64_t lo, std::int64_t hi, const std::string& what) const {
        if (!Find(key)) Fail(key, "required: " + what);
        return Int(key, lo, lo, hi);
    }

    // A whole or fractional number.
    double Number(std::string_view key, double fallback) const {
        auto v = Find(key);
        if (!v) return fallback;
        if (!v.is_number()) Fail(key, "wrong type: must be a number");
        return *v.value<double>();
    }

    std::vector<std::string> Strings(std::string_view key) const {
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
    const toml::table& table_;
    const toml::table* defaults_;
    std::string where_;
};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::vector<int> SeriesOf(const Reader& r) {
    std::vector<std::string> rings = r.Strings("rings");
    if (rings.empty()) rings.assign(std::begin(kRings), std::end(kRings));
    for (const std::string& ring : rings)
        if (!Contains(kRings, ring)) r.Fail("rings", "\"" + ring + "\" is neither hour nor day");
    std::vector<std::string> names = r.Strings("series");
    if (names.empty()) names.assign(std::begin(kSeriesStems), std::end(kSeriesStems));
    std::vector<int> out;
    auto add = [&](int s) {
        if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
    };
    for (const std::string& ring : rings) {
        for (const std::string& raw : names) {
            const std::string name = Lower(raw);
            if (auto full = SeriesByName(name)) {
                if ((SeriesIsDaily(*full) ? "day" : "hour") == ring) add(*full);
                continue;
            }
            auto s = SeriesByName(name + "_" + ring);
            if (!s) r.Fail("series", "unknown series \"" + raw + "\" (" + Join(kSeriesStems) + ", or e.g. t_hour)");
            add(*s);
        }
    }
    return out;
}

SimFault FaultOf(const Reader& r) {
    // The kinds q31-sim knows; it is told them by name.
    constexpr std::string_view kFaultKinds[] = {"silence", "bad-checksum", "wrong-address", "short",
                                                "corrupt", "delay",        "blind-corrupt"};
    r.RefuseUnknown(kFaultKeys);
    SimFault o;
    const auto kind = r.Get<std::string>("kind");
    if (!kind) r.Fail("kind", "required: silence, bad-checksum, wrong-address, short, corrupt, delay or blind-corrupt");
    if (!Contains(kFaultKinds, *kind))
        r.Fail("kind", "must be silence, bad-checksum, wrong-address, short, corrupt, delay or blind-corrupt, not \"" +
                           *kind + "\"");
    o.kind = *kind;
    if (!r.Find("rate")) r.Fail("rate", "required: the share of replies it spoils, 0..1");
    o.rate = r.Number("rate", o.rate);
    if (!(o.rate >= 0 && o.rate <= 1)) r.Fail("rate", "must lie in 0..1");
    o.param = static_cast<int>(r.Int("param", o.param, 0, 600000));
    return o;
}

SimSettings SimOf(const Reader& outer, const toml::table& sim, std::uint64_t seed) {
    SimSettings settings;
    settings.seed = seed;
    settings.given = true;
    Reader r(outer.File(), sim, nullptr, outer.Where() + ": sim");
    r.RefuseUnknown(kSimKeys);
    if (r.Find("serial")) settings.serial = static_cast<std::uint32_t>(r.Int("serial", 0, 0, 4294967295LL));
    settings.modules = static_cast<std::uint8_t>(r.Int("modules", settings.modules, 1, 6));
    settings.hourCount = static_cast<std::uint32_t>(r.Int("hour_count", settings.hourCount, 0, 4294967295LL));
    settings.dayCount = static_cast<std::uint32_t>(r.Int("day_count", settings.dayCount, 0, 4294967295LL));
    settings.versionWord = static_cast<std::uint16_t>(r.Int("version_word", settings.versionWord, 0, 0xFFFF));
    settings.replyDelayMs = static_cast<int>(r.Int("reply_delay_ms", settings.replyDelayMs, 0, 60000));
    settings.clockRate = r.Number("clock_rate", settings.clockRate);
    if (!(settings.clockRate >= 0)) r.Fail("clock_rate", "must be a number 0 or more");
    if (auto f = sim["faults"]) {
        const toml::array* a = f.as_array();
        if (!a) r.Fail("faults", "must be an array of {kind = \"...\", rate = P}");
        for (std::size_t i = 0; i < a->size(); ++i) {
            const toml::table* t = (*a)[i].as_table();
            if (!t) r.Fail("faults", "must be an array of {kind = \"...\", rate = P}");
            settings.faults.push_back(
                FaultOf(Reader(r.File(), *t, nullptr, r.Where() + ": fault " + std::to_string(i + 1))));
        }
    }
    return settings;
}

std::uint8_t ConfirmOf(const Reader& r, std::uint8_t fallback) {
    const auto name = r.Get<std::string>("confirm");
    if (!name) return fallback;
    const auto mode = ConfirmByName(*name);
    if (!mode) r.Fail("confirm", "must be " + ChoiceList(kConfirmChoices) + ", not \"" + *name + "\"");
    return *mode;
}

// `confirm`: the [collect] table's mode, for a meter that names none.
MeterSettings MeterOf(const Reader& r, std::uint8_t confirm) {
    const MeterSettings d{};
    MeterSettings m;
    m.name = r.Get<std::string>("name").value_or("");
    if (m.name.empty()) r.Fail("name", "required: every meter needs one, its key in the database");
    if (HasControl(m.name))
        r.Fail("name", "holds a control character, which no log line, topic or column takes as it is");
    m.port = r.Get<std::string>("port").value_or("");
    if (m.port.empty()) r.Fail("port", "required: a device, or sim:SEED for a virtual meter");
    m.line.baud = static_cast<int>(r.Int("baud", d.line.baud, 50, 4000000));
    if (!HostPortSpeedSupported(m.line.baud)) r.Fail("baud", "not a standard line speed");
    if (const auto parity = r.Get<std::string>("parity")) {
        const auto p = ChoiceByName(*parity, kParityChoices);
        if (!p) r.Fail("parity", "must be " + ChoiceList(kParityChoices) + ", not \"" + *parity + "\"");
        m.line.parity = *p;
    }
    m.line.stopBits = static_cast<int>(r.Int("stop_bits", d.line.stopBits, 1, 2));
    m.echo = r.Get<bool>("echo").value_or(d.echo);
    m.serial = static_cast<std::uint32_t>(
        r.Required("serial", 0, 4294967295LL, "the serial number the meter must answer with (q31 id shows it)"));
    m.address = static_cast<std::uint8_t>(r.Int("address", d.address, Q31_ADDRESS_MIN, Q31_ADDRESS_MAX));
    m.timeoutMs = static_cast<int>(r.Int("timeout_ms", d.timeoutMs, 1, Q31_TIMEOUT_MAX_MS));
    m.sendLimit = static_cast<int>(r.Int("send_limit", d.sendLimit, 1, 1000));
    m.confirm = ConfirmOf(r, confirm);
    m.series = SeriesOf(r);
    if (auto v = r.Find("modules")) {
        if (!v.as_array()) r.Fail("modules", "must be an array of module numbers 1..6");
        for (const toml::node& n : *v.as_array()) {
            const auto x = n.value<std::int64_t>();
            if (!x || *x < 1 || *x > 6) r.Fail("modules", "must be an array of module numbers 1..6");
            m.modules.push_back(static_cast<int>(*x));
        }
    }
    m.logs = r.Get<bool>("logs").value_or(d.logs);
    m.currentEveryMin = static_cast<int>(r.Int("current_every_min", d.currentEveryMin, 0, 1000000));
    m.archiveEveryMin = r.Number("archive_every_min", d.archiveEveryMin);
    if (!(m.archiveEveryMin >= 0.01 && m.archiveEveryMin <= 1000000))
        r.Fail("archive_every_min", "must lie in 0.01..1000000 minutes");
    auto sim = r.Find("sim");
    if (sim && !sim.as_table()) r.Fail("sim", "must be a table");
    if (sim && !m.Virtual()) r.Fail("sim", "only a meter on a sim:SEED port is virtual");
    if (m.Virtual()) {
        std::uint64_t seed = 0;
        try {
            std::size_t used = 0;
            seed = std::stoull(m.port.substr(4), &used);
            if (used != m.port.size() - 4) throw std::invalid_argument("trailing");
        } catch (const std::exception&) {
            r.Fail("port", "a virtual meter is named sim:SEED, SEED a number");
        }
        if (sim) m.sim = SimOf(r, *sim.as_table(), seed);
        else m.sim.seed = seed;
    }
    return m;
}

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
            if (Contains(kCollectKeys, key)) home = "it belongs in [collect]";
            else if (Contains(kMeterKeys, key)) home = "it belongs in [defaults] or a [[meter]]";
            Refuse(path, k.source(), key + ": unknown key at the top level (" + home + ")");
        }
        const bool entries = known->starts_with("[[");
        if (entries ? !v.is_array_of_tables() : !v.is_table())
            Refuse(path, k.source(),
                   key + ": must be written as " + std::string(*known) + (entries ? " entries" : ", a table"));
    }
}

// A name that becomes levels of an MQTT topic: a wildcard makes every
// publish fail, a control character fails as malformed text.
void CheckTopicLevel(const Reader& r, std::string_view key, const std::string& value) {
    if (value.find_first_of("+#") != std::string::npos)
        r.Fail(key, "holds an MQTT wildcard (+ or #), which no topic may carry");
    if (HasControl(value)) r.Fail(key, "holds a control character");
}

// What libpq takes: a postgresql:// (or postgres://) URL, or key=value
// pairs; anything else it would take for a database name, and fail only
// when the sink first connects.
void CheckPostgresUrl(const Reader& r, const std::string& url) {
    const bool uri = url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0;
    if (!uri && url.find('=') == std::string::npos)
        r.Fail("url", "must be postgresql://USER@HOST:PORT/DATABASE or key=value pairs (host=... dbname=...)");
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
    if (options) {
        PQconninfoFree(options);
        return;
    }
    // libpq's reason quotes the string, which may hold a password.
    PQfreemem(error);
    r.Fail("url", "not a connection string libpq takes (" + std::string(uri ? "URL" : "key=value pairs") + ")");
}

// password_file, with a leading ${CREDENTIALS_DIRECTORY} replaced by the
// directory systemd hands the service its LoadCredential= files in.
std::string PasswordFile(const Reader& r) {
    std::string file = r.Get<std::string>("password_file").value_or("");
    constexpr std::string_view kCredentials = "${CREDENTIALS_DIRECTORY}";
    if (file.rfind(kCredentials, 0) != 0) return file;
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (!dir || !*dir)
        r.Fail("password_file",
               "${CREDENTIALS_DIRECTORY} is not set: systemd sets it for a service with LoadCredential=; by hand, "
               "set it to the directory that holds the file");
    return dir + file.substr(kCredentials.size());
}

// HOST:PORT, [IPv6]:PORT or :PORT (every interface); port 0 takes any free one.
void CheckListen(const Reader& r, const std::string& listen) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos || colon + 1 == listen.size())
        r.Fail("listen", "must be HOST:PORT, e.g. \"127.0.0.1:9731\"");
    const std::string host = listen.substr(0, colon);
    const std::string port = listen.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
        r.Fail("listen", "the port must be a number 0..65535, not \"" + port + "\"");
    const bool bracketed = !host.empty() && host.front() == '[';
    if (bracketed != (!host.empty() && host.back() == ']') || (!bracketed && host.find(':') != std::string::npos) ||
        host.find_first_of(" /") != std::string::npos || HasControl(host))
        r.Fail("listen", "the host must be a name, an IPv4 address or an [IPv6] address, not \"" + host + "\"");
}

// [sink.postgres], [sink.mqtt] and [http]: each is on when its table is there.
void ReadOutputs(const std::string& path, const toml::table& root, CollectConfig& config) {
    if (const toml::table* sinks = root["sink"].as_table()) {
        Reader(path, *sinks, nullptr, "sink").RefuseUnknown(kSinks);
        for (auto&& [k, v] : *sinks)
            if (!v.is_table()) Refuse(path, k.source(), "sink." + std::string(k.str()) + ": must be a table");
        if (const toml::table* t = (*sinks)["postgres"].as_table()) {
            Reader r(path, *t, nullptr, "sink.postgres");
            r.RefuseUnknown(kPostgresKeys);
            PostgresSinkSettings& p = config.postgres;
            p.enabled = true;
            p.url = r.Get<std::string>("url").value_or("");
            if (p.url.empty()) r.Fail("url", "required: postgresql://USER@HOST:PORT/DATABASE");
            CheckPostgresUrl(r, p.url);
            p.passwordFile = PasswordFile(r);
            p.batchRows = static_cast<int>(r.Int("batch_rows", p.batchRows, 1, 1000000));
        }
        if (const toml::table* t = (*sinks)["mqtt"].as_table()) {
            Reader r(path, *t, nullptr, "sink.mqtt");
            r.RefuseUnknown(kMqttKeys);
            MqttSinkSettings& m = config.mqtt;
            m.enabled = true;
            m.host = r.Get<std::string>("host").value_or(m.host);
            if (m.host.empty() || m.host.find("://") != std::string::npos ||
                m.host.find_first_of(" /") != std::string::npos || HasControl(m.host))
                r.Fail("host", "must be a host name or address, e.g. \"broker.example.org\" (not a URL)");
            m.port = static_cast<int>(r.Int("port", m.port, 1, 65535));
            m.prefix = r.Get<std::string>("prefix").value_or(m.prefix);
            if (m.prefix.empty()) r.Fail("prefix", "must not be empty: the first level of every topic");
            CheckTopicLevel(r, "prefix", m.prefix);
            m.clientId = r.Get<std::string>("client_id").value_or(m.clientId);
            if (HasControl(m.clientId)) r.Fail("client_id", "holds a control character");
            m.username = r.Get<std::string>("username").value_or(m.username);
            if (HasControl(m.username)) r.Fail("username", "holds a control character");
            m.passwordFile = PasswordFile(r);
            m.caFile = r.Get<std::string>("ca_file").value_or(m.caFile);
            m.certFile = r.Get<std::string>("cert_file").value_or(m.certFile);
            m.keyFile = r.Get<std::string>("key_file").value_or(m.keyFile);
            m.keepaliveS = static_cast<int>(r.Int("keepalive_s", m.keepaliveS, 5, 3600));
        }
    }
    if (const toml::table* t = root["http"].as_table()) {
        Reader r(path, *t, nullptr, "http");
        r.RefuseUnknown(kHttpKeys);
        config.http.enabled = true;
        config.http.listen = r.Get<std::string>("listen").value_or(config.http.listen);
        CheckListen(r, config.http.listen);
    }
}

}  // namespace

CollectConfig LoadCollectConfig(const std::string& path) {
    // toml++ says only that the file could not be opened; the reason tells
    // the operator what to do.
    if (!std::ifstream(path))
        throw ToolError(kExitBadArgument, path + ": cannot read the configuration: " + std::strerror(errno) +
                                              (errno == EACCES ? " (the service's own user reads it only while every "
                                                                 "user may: keep passwords in credentials, see q31(1))"
                                                               : ""));
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        Refuse(path, e.source(), std::string(e.description()));
    }
    CheckTables(path, root);
    CollectConfig config;
    const toml::table* defaults = root["defaults"].as_table();
    if (defaults) {
        for (auto&& [k, v] : *defaults) {
            (void)v;
            if (Contains(Keys(kMeterKeys).first(kOwnMeterKeys), k.str()))
                Refuse(path, k.source(), "defaults: " + std::string(k.str()) + ": set by each [[meter]] itself");
        }
        Reader(path, *defaults, nullptr, "defaults").RefuseUnknown(Keys(kMeterKeys).subspan(kOwnMeterKeys));
    }
    if (const toml::table* c = root["collect"].as_table()) {
        Reader r(path, *c, nullptr, "collect");
        r.RefuseUnknown(kCollectKeys);
        config.db = r.Get<std::string>("db").value_or(config.db);
        config.retries = static_cast<int>(r.Int("retries", config.retries, 0, 1000));
        // No pause at all would try a dead port thousands of times a second.
        config.retryBaseMs = static_cast<int>(r.Int("retry_base_ms", config.retryBaseMs, 1, 86400000));
        config.retryMaxMs = static_cast<int>(r.Int("retry_max_ms", config.retryMaxMs, 1, 86400000));
        if (config.retryMaxMs < config.retryBaseMs)
            r.Fail(r.Find("retry_max_ms") ? "retry_max_ms" : "retry_base_ms",
                   "retry_max_ms (" + std::to_string(config.retryMaxMs) + ") is below retry_base_ms (" +
                       std::to_string(config.retryBaseMs) + ")");
        config.confirm = ConfirmOf(r, config.confirm);
        config.gateway = r.Get<std::string>("gateway").value_or(config.gateway);
        if (r.Find("gateway")) CheckTopicLevel(r, "gateway", config.gateway);
    }
    ReadOutputs(path, root, config);
    const toml::array* meters = root["meter"].as_array();
    if (!meters || meters->empty()) throw ToolError(kExitBadArgument, path + ": no [[meter]] entries");
    std::size_t index = 0;
    for (const toml::node& n : *meters) {
        const toml::table& t = *n.as_table();
        // The name helps find the entry among many, but its own faults are
        // reported after a mistyped key, which may be the name itself.
        const auto name = t["name"].value_exact<std::string>();
        std::string where = "meter " + std::to_string(++index);
        if (name && !name->empty()) where += " (\"" + *name + "\")";
        const Reader r(path, t, defaults, where);
        r.RefuseUnknown(kMeterKeys);
        MeterSettings m = MeterOf(r, config.confirm);
        // Meters on one line share its settings: the line is opened once.
        for (const MeterSettings& other : config.meters) {
            if (other.name == m.name) r.Fail("name", "another meter has this name");
            if (other.port != m.port) continue;
            if (other.address == m.address)
                r.Fail("address", "meter \"" + other.name + "\" on port " + m.port + " has this address too");
            if (other.line.baud != m.line.baud || other.line.parity != m.line.parity ||
                other.line.stopBits != m.line.stopBits || other.echo != m.echo)
                r.Fail("port", "shared with meter \"" + other.name +
                                   "\", which has other line settings (baud, parity, stop_bits and echo must agree)");
        }
        config.meters.push_back(std::move(m));
    }
    if (config.mqtt.enabled) {
        // Topics are PREFIX/GATEWAY/METER/KIND: the sink writes a wildcard
        // in a name as "_", and two meters ("a+b", "a_b") would share topics.
        std::size_t i = 0;
        for (const toml::node& n : *meters) {
            const MeterSettings& m = config.meters[i++];
            if (m.name.find_first_of("+#") != std::string::npos)
                Reader(path, *n.as_table(), nullptr, "meter " + std::to_string(i) + " (\"" + m.name + "\")")
                    .Fail("name", "holds an MQTT wildcard (+ or #), which no topic may carry ([sink.mqtt] is on)");
        }
    }
    for (MeterSettings& m : config.meters) {
        if (!m.Virtual()) continue;
        for (const MeterSettings& other : config.meters)
            if (other.port == m.port && (m.simLine.empty() || other.sim.given))
                m.simLine.push_back({other.address, other.sim.serial.value_or(other.serial), other.sim});
    }
    return config;
}

std::size_t LineCount(const CollectConfig& config) {
    std::set<std::string> ports;
    for (const MeterSettings& m : config.meters) ports.insert(m.port);
    return ports.size();
}

}  // namespace q31::tool::collect
