// The configuration's references against its schema: the key tables of the
// manual page and of docs/configuration.md are written from the schema
// (Q31_UPDATE_DOCS=1 rewrites them between their markers), and the example
// file names every key in its table, with the default where it sets one.
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#include "tools/q31/collect/ConfigSchema.h"

namespace q31::test {
namespace {

using tool::collect::KeyRow;
using tool::collect::KeyTable;
using tool::collect::KeyType;
using tool::collect::TableRow;

std::string Read(const std::string& file) {
    std::ifstream in(std::string(Q31_SOURCE_DIR) + "/" + file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Number(double value) {
    std::ostringstream out;
    out.precision(12);
    out << value;
    return out.str();
}

// What a value must be, in words: "whole number 0..1000".
std::string Kind(const KeyRow& row) {
    const std::string range = std::isinf(row.hi) ? Number(row.lo) + " or more" : Number(row.lo) + ".." + Number(row.hi);
    switch (row.type) {
        case KeyType::Text: return "text";
        case KeyType::Whole: return "whole number " + range;
        case KeyType::Number: return "number " + range;
        case KeyType::Flag: return "true or false";
        case KeyType::Choice: return "a name";
        case KeyType::TextList: return "array of names";
        case KeyType::WholeList: return "array of numbers " + range;
        case KeyType::Table: return "table";
        case KeyType::TableList: break;
    }
    return "array of tables";
}

std::string Default(const KeyRow& row) {
    if (row.required) return "required";
    if (!row.defaultText.empty()) return std::string(row.defaultText);
    if (row.type == KeyType::Flag) return row.fallback != 0 ? "true" : "false";
    if (row.type == KeyType::Whole || row.type == KeyType::Number) return Number(row.fallback);
    return "";
}

// "whole number 0..1000, default 3"
std::string Facts(const KeyRow& row) {
    const std::string given = Default(row);
    return Kind(row) + (given.empty() ? "" : given == "required" ? ", required" : ", default " + given);
}

std::string ManTables() {
    std::string out;
    const TableRow* last = nullptr;
    tool::collect::VisitConfigSchema([&](const TableRow& table, const KeyRow& row) {
        if (&table != std::exchange(last, &table))
            out += "\n*" + std::string(table.header) + "*\n\t" + std::string(table.help) + "\n";
        out += "\n\t*" + std::string(row.key) + "*: " + Facts(row) + "\n\t\t" + std::string(row.help) + "\n";
    });
    return out;
}

std::string MarkdownTables() {
    std::string out;
    const TableRow* last = nullptr;
    tool::collect::VisitConfigSchema([&](const TableRow& table, const KeyRow& row) {
        if (&table != std::exchange(last, &table))
            out += "\n## " + std::string(table.header) + "\n\n" + std::string(table.help) +
                   "\n\n| Key | Value | Default | Meaning |\n|---|---|---|---|\n";
        out += "| `" + std::string(row.key) + "` | " + Kind(row) + " | " + Default(row) + " | " +
               std::string(row.help) + " |\n";
    });
    return out;
}

// The text between the lines `begin` and `end` of `file` is `tables`; with
// Q31_UPDATE_DOCS set it is made so.
void ExpectTables(const std::string& file, const std::string& begin, const std::string& end,
                  const std::string& tables) {
    std::string text = Read(file);
    const auto from = text.find(begin + "\n");
    const auto to = text.find(end + "\n");
    ASSERT_NE(from, std::string::npos) << file << " lacks the line " << begin;
    ASSERT_NE(to, std::string::npos) << file << " lacks the line " << end;
    const auto first = from + begin.size() + 1;
    if (std::getenv("Q31_UPDATE_DOCS")) {
        text.replace(first, to - first, tables);
        std::ofstream(std::string(Q31_SOURCE_DIR) + "/" + file) << text;
        return;
    }
    EXPECT_EQ(text.substr(first, to - first), tables)
        << file << " differs from the schema: run Q31_UPDATE_DOCS=1 ctest -R ConfigDocs to write it";
}

TEST(ConfigDocs, TheManualPageAndTheReferenceListEveryKeyAsTheSchemaHasIt) {
    ExpectTables("packaging/q31.1.scd", "; begin keys", "; end keys", ManTables());
    ExpectTables("docs/configuration.md", "<!-- begin keys -->", "<!-- end keys -->", MarkdownTables());
}

TEST(ConfigDocs, TheExampleNamesEveryKeyInItsTableAndSetsOnlyDefaults) {
    const std::map<std::string, KeyTable> sections = {{"[collect]", KeyTable::Collect},
                                                      {"[defaults]", KeyTable::Meter},
                                                      {"[[meter]]", KeyTable::Meter},
                                                      {"[meter.sim]", KeyTable::Sim},
                                                      {"[sink.postgres]", KeyTable::Postgres},
                                                      {"[sink.mqtt]", KeyTable::Mqtt},
                                                      {"[http]", KeyTable::Http},
                                                      {"[quantity.e]", KeyTable::Quantity},
                                                      {"[meter.quantity.e]", KeyTable::Quantity},
                                                      {"[modems]", KeyTable::Modems}};
    // Where the example shows a setting rather than a default.
    const std::set<std::string> examples = {"[[meter]]", "[meter.sim]", "[quantity.e]", "[meter.quantity.e]"};
    std::set<const KeyRow*> seen;
    std::string section;
    std::istringstream lines(Read("packaging/collect.example.toml"));
    const std::regex header(R"(^[# ]*(\[\[?[a-z.]+\]\]?))"), setting(R"(([a-z_]+) = ([^,}#\[{ ]*))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, header) && sections.count(m[1])) section = m[1];
        // The sim key of a meter is its [meter.sim] table.
        if (m.size() && m[1] == "[meter.sim]") seen.insert(&tool::collect::Key(KeyTable::Meter, "sim"));
        if (m.size() && m[1] == "[meter.quantity.e]") seen.insert(&tool::collect::Key(KeyTable::Meter, "quantity"));
        for (std::sregex_iterator it(line.begin(), line.end(), setting), stop; it != stop; ++it) {
            const std::string key = (*it)[1], value = (*it)[2];
            const KeyRow* row = nullptr;
            for (const KeyRow& r : tool::collect::kConfigKeys)
                if (r.key == key && !section.empty() &&
                    (r.table == sections.at(section) || (section == "[meter.sim]" && r.table == KeyTable::Fault)))
                    row = &r;
            ASSERT_TRUE(row) << key << " is no key of " << section << ": " << line;
            EXPECT_FALSE(section == "[defaults]" && row->own) << line;
            seen.insert(row);
            if (examples.count(section)) continue;
            if (row->type == KeyType::Whole || row->type == KeyType::Number) {
                EXPECT_EQ(value, Number(row->fallback)) << section << " " << line;
            } else if (row->type == KeyType::Flag) {
                EXPECT_EQ(value, row->fallback != 0 ? "true" : "false") << line;
            }
        }
    }
    for (const KeyRow& row : tool::collect::kConfigKeys)
        EXPECT_TRUE(seen.count(&row)) << "the example does not name " << row.key;
}

}  // namespace
}  // namespace q31::test
