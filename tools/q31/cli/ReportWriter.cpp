#include "tools/q31/cli/ReportWriter.h"

#include <algorithm>
#include <cctype>

namespace q31::tool {

namespace {

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void CsvLine(std::string& out, const std::vector<std::string>& cells) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i) out += ',';
        out += CsvField(cells[i]);
    }
    out += '\n';
}

// Columns are as wide as their widest cell in characters, not bytes: the
// device-type text is UTF-8.
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string CsvText(const Table& table) {
    std::string out;
    CsvLine(out, table.header);
    for (const auto& row : table.rows) CsvLine(out, row);
    return out;
}

std::string HumanTables(const Report& report) {
    std::string out;
    for (const Table& t : report.tables) {
        if (!out.empty()) out += '\n';
        out += t.name + ":\n";
        std::vector<std::size_t> widths(t.header.size(), 0);
        auto measure = [&](const std::vector<std::string>& cells) {
            for (std::size_t i = 0; i < cells.size() && i < widths.size(); ++i)
                widths[i] = std::max(widths[i], Width(cells[i]));
        };
        measure(t.header);
        for (const auto& row : t.rows) measure(row);
        auto line = [&](const std::vector<std::string>& cells) {
            out += ' ';
            for (std::size_t i = 0; i < cells.size(); ++i) {
                out += ' ';
                // Numbers to the right, texts to the left.
                const bool number =
                    !cells[i].empty() && (std::isdigit(static_cast<unsigned char>(cells[i].back())) != 0);
                const std::string pad(widths[i] > Width(cells[i]) ? widths[i] - Width(cells[i]) : 0, ' ');
                out += number ? pad + cells[i] : cells[i] + (i + 1 < cells.size() ? pad : "");
            }
            out += '\n';
        };
        line(t.header);
        for (const auto& row : t.rows) line(row);
    }
    return out;
}

void WriteReport(const Report& report, OutputFormat format, std::FILE* out) {
    std::string text;
    switch (format) {
        case OutputFormat::Json: text = report.json.dump(2) + "\n"; break;
        case OutputFormat::Csv:
            for (std::size_t i = 0; i < report.tables.size(); ++i) {
                if (i) text += '\n';
                text += CsvText(report.tables[i]);
            }
            break;
        case OutputFormat::Human: text = report.human.empty() ? HumanTables(report) : report.human; break;
    }
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

}  // namespace q31::tool
