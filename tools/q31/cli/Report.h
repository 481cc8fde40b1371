// What a command hands out, in every format at once: the JSON document, the
// tables the CSV and the human form are made of, and, where a table would
// read badly, a human text of its own.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace q31::tool {

using Json = nlohmann::ordered_json;

struct Table {
    std::string name;  // the file name stem when tables go to a directory
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    // Appends a row of numbers or texts.
    template <typename... Cells>
    void Row(const Cells&... cells) {
        rows.push_back({Cell(cells)...});
    }
    static std::string Cell(const std::string& s) { return s; }
    static std::string Cell(const char* s) { return s; }
    template <typename Number>
    static std::string Cell(Number n) {
        return std::to_string(n);
    }
};

struct Report {
    Json json;
    std::vector<Table> tables;
    std::string human;  // empty: the tables, aligned
};

}  // namespace q31::tool
