// The bus file of q31-sim (TOML), kept apart so only this unit pays for the
// TOML parser.
#include <toml++/toml.h>

#include "sim/SimOptions.h"

namespace q31::sim {

namespace {

class TableReader {
public:
    TableReader(const toml::table& table, std::string where, std::string& error)
        : table_(table), where_(std::move(where)), error_(error) {}

    // False (and the error set) when the key is there but not a number in range.
    bool Number(const char* key, std::uint64_t max, std::uint64_t& out) {
        const toml::node* n = table_.get(key);
        if (!n) return true;
        const auto v = n->value<std::int64_t>();
        if (!v || *v < 0 || static_cast<std::uint64_t>(*v) > max)
            return Fail(key, "a number 0.." + std::to_string(max));
        out = static_cast<std::uint64_t>(*v);
        return true;
    }
    bool Real(const char* key, double& out) {
        const toml::node* n = table_.get(key);
        if (!n) return true;
        const auto v = n->value<double>();
        if (!v || *v < 0) return Fail(key, "a number 0 or more");
        out = *v;
        return true;
    }
    bool Flag(const char* key, bool& out) {
        const toml::node* n = table_.get(key);
        if (!n) return true;
        const auto v = n->value<bool>();
        if (!v) return Fail(key, "true or false");
        out = *v;
        return true;
    }
    bool Address(std::uint8_t& out) {
        std::uint64_t a = 0;
        if (!Number("address", 254, a)) return false;
        if (a == 0) return Fail("address", "1..254, and required");
        out = static_cast<std::uint8_t>(a);
        return true;
    }
    bool Fail(const std::string& key, const std::string& what) {
        error_ = where_ + ": " + key + ": must be " + what;
        return false;
    }

private:
    const toml::table& table_;
    std::string where_;
    std::string& error_;
};

bool MeterOf(const toml::table& t, const std::string& where, const MeterConfig& defaults, BusMeterPlan& out,
             std::string& error) {
    TableReader r(t, where, error);
    out.meter = defaults;
    std::uint64_t v = 0;
    if (!r.Address(out.meter.address)) return false;
    v = out.meter.serialNumber;
    if (!r.Number("serial", UINT32_MAX, v)) return false;
    out.meter.serialNumber = static_cast<std::uint32_t>(v);
    // Meters without a seed of their own differ by their address.
    v = defaults.seed + out.meter.address;
    if (!r.Number("seed", INT64_MAX, v)) return false;
    out.meter.seed = v;
    v = out.meter.moduleCount;
    if (!r.Number("modules", 255, v)) return false;
    out.meter.moduleCount = static_cast<std::uint8_t>(v);
    v = out.meter.hourCount;
    if (!r.Number("hour_count", UINT32_MAX, v)) return false;
    out.meter.hourCount = static_cast<std::uint32_t>(v);
    v = out.meter.dayCount;
    if (!r.Number("day_count", UINT32_MAX, v)) return false;
    out.meter.dayCount = static_cast<std::uint32_t>(v);
    v = out.meter.versionWord;
    if (!r.Number("version_word", 0xFFFF, v)) return false;
    out.meter.versionWord = static_cast<std::uint16_t>(v);
    v = out.meter.archiveFirstWord;
    if (!r.Number("archive_first_word", UINT32_MAX, v)) return false;
    out.meter.archiveFirstWord = static_cast<std::uint32_t>(v);
    if (!r.Flag("echo", out.echo)) return false;
    if (const toml::node* f = t.get("faults")) {
        const toml::array* list = f->as_array();
        if (!list) return r.Fail("faults", "an array of \"KIND:P[:X]\"");
        for (const toml::node& n : *list) {
            const auto text = n.value<std::string>();
            FaultRateOption rate;
            if (!text || !ParseFaultRateOption(*text, rate)) return r.Fail("faults", "an array of \"KIND:P[:X]\"");
            out.faults.push_back(rate);
        }
    }
    return true;
}

bool EventOf(const toml::table& t, BusEvent::Kind kind, const std::string& where, BusEvent& out, std::string& error) {
    TableReader r(t, where, error);
    out.kind = kind;
    if (!t.get("at")) return r.Fail("at", "given (simulated seconds)");
    if (!r.Real("at", out.at) || !r.Address(out.address)) return false;
    std::uint64_t v = 0;
    if (kind == BusEvent::Kind::Swap) {
        if (!t.get("serial")) return r.Fail("serial", "given");
        if (!r.Number("serial", UINT32_MAX, v)) return false;
        out.serial = static_cast<std::uint32_t>(v);
        return true;
    }
    if (!t.get("hour_count")) return r.Fail("hour_count", "given");
    if (!r.Number("hour_count", UINT32_MAX, v)) return false;
    out.hourCount = static_cast<std::uint32_t>(v);
    v = out.hourCount / 24;
    if (!r.Number("day_count", UINT32_MAX, v)) return false;
    out.dayCount = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

bool LoadBusFile(const std::string& path, const MeterConfig& defaults, BusPlan& plan, bool& lineEcho,
                 std::string& error) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        error = path + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return false;
    }
    TableReader top(root, path, error);
    std::uint64_t every = 0;
    if (!top.Real("clock_rate", plan.clockRate) || !top.Number("write_during_reads", 1000, every) ||
        !top.Flag("echo", lineEcho))
        return false;
    plan.writeDuringReads = static_cast<int>(every);
    const auto tables = [&](const char* key, auto&& each) {
        const toml::node* n = root.get(key);
        if (!n) return true;
        const toml::array* list = n->as_array();
        if (!list) return top.Fail(key, "an array of tables ([[" + std::string(key) + "]])");
        int index = 0;
        for (const toml::node& item : *list) {
            const std::string where = path + ": " + key + " " + std::to_string(++index);
            const toml::table* t = item.as_table();
            if (!t) return top.Fail(key, "an array of tables ([[" + std::string(key) + "]])");
            if (!each(*t, where)) return false;
        }
        return true;
    };
    if (!tables("meter", [&](const toml::table& t, const std::string& where) {
            BusMeterPlan m;
            if (!MeterOf(t, where, defaults, m, error)) return false;
            plan.meters.push_back(m);
            return true;
        }))
        return false;
    for (auto [key, kind] : {std::pair{"swap", BusEvent::Kind::Swap}, std::pair{"reset", BusEvent::Kind::Reset}}) {
        if (!tables(key, [&, kind = kind](const toml::table& t, const std::string& where) {
                BusEvent e;
                if (!EventOf(t, kind, where, e, error)) return false;
                plan.events.push_back(e);
                return true;
            }))
            return false;
    }
    return true;
}

}  // namespace q31::sim
