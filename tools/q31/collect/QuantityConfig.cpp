#include "tools/q31/collect/QuantityConfig.h"

#include <cmath>

#include "tools/q31/collect/ConfigReader.h"
#include "tools/q31/collect/PrintableText.h"

namespace q31::tool::collect {

namespace {

constexpr const KeyRow& kScale = Key(KeyTable::Quantity, "scale");

// The table of letters, every key a known letter with a table under it.
const toml::table* LettersOf(const std::string& path, const toml::node* node, const std::string& where) {
    if (!node) return nullptr;
    const toml::table* t = node->as_table();
    if (!t) Refuse(path, node->source(), where + ": must be a table of [quantity.X] tables");
    for (auto&& [k, v] : *t) {
        const std::string letter(k.str());
        if (letter == "time")
            Refuse(path, k.source(),
                   where + ".time: the meter's Time value has no quantity: its encoding is the meter's own, kept raw");
        if (!Contains(kQuantityLetters, letter))
            Refuse(path, k.source(),
                   where + "." + letter + ": unknown series (" + Hint(letter, kQuantityLetters) + ")");
        if (!v.is_table()) Refuse(path, k.source(), where + "." + letter + ": must be a table (unit, scale, name)");
    }
    return t;
}

Quantity QuantityOf(const ConfigReader& r, std::string_view letter) {
    r.RefuseUnknown(KeysOf(KeyTable::Quantity));
    Quantity q;
    q.unit = r.Get<std::string>("unit").value_or("");
    if (q.unit.empty()) r.Fail("unit", "required: the unit of raw × scale, such as \"GJ\"");
    if (HasControl(q.unit)) r.Fail("unit", "holds a control character");
    q.scale = r.Number(kScale);
    // A scale of 0 would ship every reading as 0; inf or NaN no sink can store.
    if (!(q.scale > kScale.lo && std::isfinite(q.scale))) r.Fail("scale", "must be a number above 0");
    q.name = r.Get<std::string>("name").value_or(std::string(DefaultQuantityName(letter)));
    if (q.name.empty() || HasControl(q.name)) r.Fail("name", "must be text without control characters");
    return q;
}

}  // namespace

QuantityMap ReadQuantities(const std::string& path, const toml::node* global, const toml::node* own,
                           const std::string& where) {
    const toml::table* g = LettersOf(path, global, "quantity");
    const toml::table* o = LettersOf(path, own, where + ": quantity");
    QuantityMap out;
    for (std::string_view letter : kQuantityLetters) {
        const toml::table* gt = g ? (*g)[letter].as_table() : nullptr;
        const toml::table* ot = o ? (*o)[letter].as_table() : nullptr;
        if (!gt && !ot) continue;
        const std::string place = (ot ? where + ": quantity." : "quantity.") + std::string(letter);
        out.emplace(letter, QuantityOf(ConfigReader(path, ot ? *ot : *gt, ot ? gt : nullptr, place), letter));
    }
    return out;
}

}  // namespace q31::tool::collect
