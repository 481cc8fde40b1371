#include "tools/q31/collect/ConfigReader.h"

#include <algorithm>
#include <charconv>

#include "tools/q31/collect/PrintableText.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool::collect {

namespace {

// "file:line:column: " of a place in the file; the file alone when toml++
// knows no place (a table made by a dotted key has none).
std::string At(const std::string& file, const toml::source_region& where) {
    if (where.begin.line == 0) return file + ": ";
    return file + ":" + std::to_string(where.begin.line) + ":" + std::to_string(where.begin.column) + ": ";
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

}  // namespace

bool Contains(Keys keys, std::string_view key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); }

std::string Join(Keys keys) {
    std::string out;
    for (std::string_view k : keys) (out += out.empty() ? "" : ", ") += k;
    return out;
}

std::vector<std::string_view> KeysOf(KeyTable table, bool shared) {
    std::vector<std::string_view> out;
    for (const KeyRow& row : kConfigKeys)
        if (row.table == table && !(shared && row.own)) out.push_back(row.key);
    return out;
}

std::string NumberText(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
    return std::string(text, end);
}

void Refuse(const std::string& file, const toml::source_region& where, const std::string& text) {
    // The text quotes the file, and the file may hold a newline in a name.
    throw ToolError(kExitBadArgument, At(file, where) + Printable(text));
}

std::string_view Bare(std::string_view name) {
    while (!name.empty() && name.front() == '[') name.remove_prefix(1);
    while (!name.empty() && name.back() == ']') name.remove_suffix(1);
    return name;
}

// An operator fixes a typo faster than he reads a manual.
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

void ConfigReader::Fail(std::string_view key, const std::string& what) const {
    const toml::node* n = Find(key).node();
    Refuse(file_, n ? n->source() : table_.source(), where_ + ": " + std::string(key) + ": " + what);
}

void ConfigReader::RefuseUnknown(Keys known) const {
    for (auto&& [k, v] : table_) {
        (void)v;
        if (!Contains(known, k.str()))
            Refuse(file_, k.source(),
                   where_ + ": " + std::string(k.str()) + ": unknown key (" + Hint(k.str(), known) + ")");
    }
}

toml::node_view<const toml::node> ConfigReader::Find(std::string_view key) const {
    if (auto v = table_[key]) return v;
    if (defaults_) return (*defaults_)[key];
    return {};
}

std::int64_t ConfigReader::Int(std::string_view key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const {
    const std::int64_t v = Get<std::int64_t>(key).value_or(fallback);
    if (v < lo || v > hi) Fail(key, "must lie in " + std::to_string(lo) + ".." + std::to_string(hi));
    return v;
}

std::int64_t ConfigReader::Int(const KeyRow& row) const {
    return Int(row.key, static_cast<std::int64_t>(row.fallback), static_cast<std::int64_t>(row.lo),
               static_cast<std::int64_t>(row.hi));
}

std::int64_t ConfigReader::Required(const KeyRow& row, const std::string& what) const {
    if (!Find(row.key)) Fail(row.key, "required: " + what);
    return Int(row);
}

double ConfigReader::Number(const KeyRow& row) const {
    auto v = Find(row.key);
    if (!v) return row.fallback;
    if (!v.is_number()) Fail(row.key, "wrong type: must be a number");
    return *v.value<double>();
}

std::vector<std::string> ConfigReader::Strings(std::string_view key) const {
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

}  // namespace q31::tool::collect
