#include "tools/q31/collect/MeterConfig.h"

#include <algorithm>
#include <stdexcept>

#include "tools/q31/collect/PrintableText.h"
#include "tools/q31/common/ArchiveSeries.h"
#include "tools/q31/common/ConfirmOption.h"
#include "tools/q31/common/NamedChoice.h"

namespace q31::tool::collect {

namespace {

// What a meter reads when its entry names no series: every series of both
// rings, hourly first, since the hours are the ones a slow poll loses first.
constexpr std::string_view kSeriesStems[] = {"time", "stop", "t", "u", "m", "e"};
constexpr std::string_view kRings[] = {"hour", "day"};
constexpr std::string_view kFaultKinds = "silence, bad-checksum, wrong-address, short, corrupt, delay or blind-corrupt";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::vector<int> SeriesOf(const ConfigReader& r) {
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

SimFault FaultOf(const ConfigReader& r) {
    // The kinds q31-sim knows; it is told them by name.
    constexpr std::string_view kKinds[] = {"silence", "bad-checksum", "wrong-address", "short",
                                           "corrupt", "delay",        "blind-corrupt"};
    constexpr const KeyRow& kRate = Key(KeyTable::Fault, "rate");
    r.RefuseUnknown(KeysOf(KeyTable::Fault));
    SimFault o;
    const auto kind = r.Get<std::string>("kind");
    if (!kind) r.Fail("kind", "required: " + std::string(kFaultKinds));
    if (std::find(std::begin(kKinds), std::end(kKinds), *kind) == std::end(kKinds))
        r.Fail("kind", "must be " + std::string(kFaultKinds) + ", not \"" + *kind + "\"");
    o.kind = *kind;
    if (!r.Find("rate")) r.Fail("rate", "required: the share of replies it spoils, 0..1");
    o.rate = r.Number(kRate);
    if (!(o.rate >= kRate.lo && o.rate <= kRate.hi))
        r.Fail("rate", "must lie in " + NumberText(kRate.lo) + ".." + NumberText(kRate.hi));
    o.param = static_cast<int>(r.Int(Key(KeyTable::Fault, "param")));
    return o;
}

void ReadFaults(const ConfigReader& r, const toml::node_view<const toml::node>& faults, SimSettings& settings) {
    const toml::array* a = faults.as_array();
    if (!a) r.Fail("faults", "must be an array of {kind = \"...\", rate = P}");
    for (std::size_t i = 0; i < a->size(); ++i) {
        const toml::table* t = (*a)[i].as_table();
        if (!t) r.Fail("faults", "must be an array of {kind = \"...\", rate = P}");
        settings.faults.push_back(
            FaultOf(ConfigReader(r.File(), *t, nullptr, r.Where() + ": fault " + std::to_string(i + 1))));
    }
}

SimSettings SimOf(const ConfigReader& outer, const toml::table& sim, std::uint64_t seed) {
    constexpr const KeyRow& kClockRate = Key(KeyTable::Sim, "clock_rate");
    SimSettings settings;
    settings.seed = seed;
    settings.given = true;
    ConfigReader r(outer.File(), sim, nullptr, outer.Where() + ": sim");
    r.RefuseUnknown(KeysOf(KeyTable::Sim));
    if (r.Find("serial")) settings.serial = static_cast<std::uint32_t>(r.Int(Key(KeyTable::Sim, "serial")));
    settings.modules = static_cast<std::uint8_t>(r.Int(Key(KeyTable::Sim, "modules")));
    settings.hourCount = static_cast<std::uint32_t>(r.Int(Key(KeyTable::Sim, "hour_count")));
    settings.dayCount = static_cast<std::uint32_t>(r.Int(Key(KeyTable::Sim, "day_count")));
    settings.versionWord = static_cast<std::uint16_t>(r.Int(Key(KeyTable::Sim, "version_word")));
    settings.replyDelayMs = static_cast<int>(r.Int(Key(KeyTable::Sim, "reply_delay_ms")));
    settings.clockRate = r.Number(kClockRate);
    if (!(settings.clockRate >= kClockRate.lo)) r.Fail("clock_rate", "must be a number 0 or more");
    if (auto f = sim["faults"]) ReadFaults(r, f, settings);
    return settings;
}

// The line's settings: meters on one port must agree on them.
void ReadLine(const ConfigReader& r, MeterSettings& m) {
    m.line.baud = static_cast<int>(r.Int(Key(KeyTable::Meter, "baud")));
    if (!HostPortSpeedSupported(m.line.baud)) r.Fail("baud", "not a standard line speed");
    if (const auto parity = r.Get<std::string>("parity")) {
        const auto p = ChoiceByName(*parity, kParityChoices);
        if (!p) r.Fail("parity", "must be " + ChoiceList(kParityChoices) + ", not \"" + *parity + "\"");
        m.line.parity = *p;
    }
    m.line.stopBits = static_cast<int>(r.Int(Key(KeyTable::Meter, "stop_bits")));
    m.echo = r.Flag(Key(KeyTable::Meter, "echo"));
}

// What is read, and how often.
void ReadPlan(const ConfigReader& r, MeterSettings& m) {
    constexpr const KeyRow& kModules = Key(KeyTable::Meter, "modules");
    constexpr const KeyRow& kArchiveEvery = Key(KeyTable::Meter, "archive_every_min");
    m.series = SeriesOf(r);
    const std::string modulesText =
        "must be an array of module numbers " + NumberText(kModules.lo) + ".." + NumberText(kModules.hi);
    if (auto v = r.Find("modules")) {
        if (!v.as_array()) r.Fail("modules", modulesText);
        for (const toml::node& n : *v.as_array()) {
            const auto x = n.value<std::int64_t>();
            if (!x || *x < kModules.lo || *x > kModules.hi) r.Fail("modules", modulesText);
            m.modules.push_back(static_cast<int>(*x));
        }
    }
    m.logs = r.Flag(Key(KeyTable::Meter, "logs"));
    m.currentEveryMin = static_cast<int>(r.Int(Key(KeyTable::Meter, "current_every_min")));
    m.archiveEveryMin = r.Number(kArchiveEvery);
    if (!(m.archiveEveryMin >= kArchiveEvery.lo && m.archiveEveryMin <= kArchiveEvery.hi))
        r.Fail("archive_every_min",
               "must lie in " + NumberText(kArchiveEvery.lo) + ".." + NumberText(kArchiveEvery.hi) + " minutes");
}

void ReadVirtual(const ConfigReader& r, MeterSettings& m) {
    auto sim = r.Find("sim");
    if (sim && !sim.as_table()) r.Fail("sim", "must be a table");
    if (sim && !m.Virtual()) r.Fail("sim", "only a meter on a sim:SEED port is virtual");
    if (!m.Virtual()) return;
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

}  // namespace

std::uint8_t ConfirmOf(const ConfigReader& r, std::uint8_t fallback) {
    const auto name = r.Get<std::string>("confirm");
    if (!name) return fallback;
    const auto mode = ConfirmByName(*name);
    if (!mode) r.Fail("confirm", "must be " + ChoiceList(kConfirmChoices) + ", not \"" + *name + "\"");
    return *mode;
}

MeterSettings ReadMeter(const ConfigReader& r, std::uint8_t confirm) {
    MeterSettings m;
    m.name = r.Get<std::string>("name").value_or("");
    if (m.name.empty()) r.Fail("name", "required: every meter needs one, its key in the database");
    if (HasControl(m.name))
        r.Fail("name", "holds a control character, which no log line, topic or column takes as it is");
    m.port = r.Get<std::string>("port").value_or("");
    if (m.port.empty()) r.Fail("port", "required: a device, or sim:SEED for a virtual meter");
    ReadLine(r, m);
    m.serial = static_cast<std::uint32_t>(
        r.Required(Key(KeyTable::Meter, "serial"), "the serial number the meter must answer with (q31 id shows it)"));
    m.address = static_cast<std::uint8_t>(r.Int(Key(KeyTable::Meter, "address")));
    m.timeoutMs = static_cast<int>(r.Int(Key(KeyTable::Meter, "timeout_ms")));
    m.sendLimit = static_cast<int>(r.Int(Key(KeyTable::Meter, "send_limit")));
    m.confirm = ConfirmOf(r, confirm);
    ReadPlan(r, m);
    ReadVirtual(r, m);
    return m;
}

}  // namespace q31::tool::collect
