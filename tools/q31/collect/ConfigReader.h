// One table of the collector's configuration file as the loader reads it:
// values looked up (in [defaults] too), checked against their schema row,
// and every refusal worded with the file, place, table and key at fault.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <toml++/toml.h>

#include "tools/q31/collect/ConfigSchema.h"

namespace q31::tool::collect {

using Keys = std::span<const std::string_view>;

bool Contains(Keys keys, std::string_view key);
std::string Join(Keys keys);
// The keys of `table` in the schema's order; `shared`: only those [defaults] may set.
std::vector<std::string_view> KeysOf(KeyTable table, bool shared = false);
// A range's end as the messages write it: 0.01, 1000000.
std::string NumberText(double value);
// The known name a typing slip away from `name` ("did you mean ..."), else
// every known name.
std::string Hint(std::string_view name, Keys known);
// "[[meter]]" -> "meter".
std::string_view Bare(std::string_view name);

// Throws ToolError (kExitBadArgument) with "file:line:column: text".
[[noreturn]] void Refuse(const std::string& file, const toml::source_region& where, const std::string& text);

template <typename T>
constexpr const char* kTypeText = std::is_same_v<T, std::int64_t> ? "a whole number"
                                  : std::is_same_v<T, bool>       ? "true or false"
                                                                  : "text in quotes";

class ConfigReader {
public:
    // `defaults`: where a key the table lacks is looked up next.
    ConfigReader(std::string file, const toml::table& table, const toml::table* defaults, std::string where)
        : file_(std::move(file)), table_(table), defaults_(defaults), where_(std::move(where)) {}

    // At the value at fault, wherever it was written ([defaults] included),
    // or at the table's head when the key is missing.
    [[noreturn]] void Fail(std::string_view key, const std::string& what) const;
    void RefuseUnknown(Keys known) const;
    toml::node_view<const toml::node> Find(std::string_view key) const;

    template <typename T>
    std::optional<T> Get(std::string_view key) const {
        auto v = Find(key);
        if (!v) return std::nullopt;
        if (auto x = v.template value_exact<T>()) return x;
        Fail(key, std::string("wrong type: must be ") + kTypeText<T>);
    }

    std::int64_t Int(std::string_view key, std::int64_t fallback, std::int64_t lo, std::int64_t hi) const;
    // The row's key, its default when missing, refused outside its range.
    std::int64_t Int(const KeyRow& row) const;
    std::int64_t Required(const KeyRow& row, const std::string& what) const;
    bool Flag(const KeyRow& row) const { return Get<bool>(row.key).value_or(row.fallback != 0); }
    // Only for a row whose defaultText is the value itself (not "the host name").
    std::string Text(const KeyRow& row) const {
        return Get<std::string>(row.key).value_or(std::string(row.defaultText));
    }
    // A whole or fractional number; the range is the caller's to check.
    double Number(const KeyRow& row) const;
    std::vector<std::string> Strings(std::string_view key) const;

    const std::string& File() const { return file_; }
    const std::string& Where() const { return where_; }

private:
    std::string file_;
    const toml::table& table_;
    const toml::table* defaults_;
    std::string where_;
};

}  // namespace q31::tool::collect
