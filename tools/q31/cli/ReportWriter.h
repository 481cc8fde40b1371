// Writing a Report in the chosen format.
#pragma once

#include <cstdio>
#include <string>

#include "tools/q31/cli/Report.h"
#include "tools/q31/common/GlobalOptions.h"

namespace q31::tool {

// The report on `out`: the JSON document, the tables as CSV (one after the
// other, a blank line between), or the human form.
void WriteReport(const Report& report, OutputFormat format, std::FILE* out);

// One table as CSV: a header line, then one line per row.
std::string CsvText(const Table& table);

// The tables aligned in columns, each under its name.
std::string HumanTables(const Report& report);

}  // namespace q31::tool
