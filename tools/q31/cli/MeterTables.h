// The tables of what the meter hands out, for CSV and for the human form.
// Series give one row per value and log blocks one row per record, so that
// a dump's tables can be joined or filtered in any spreadsheet.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "publicQ31.h"
#include "tools/q31/cli/MeterReader.h"
#include "tools/q31/cli/Report.h"

namespace q31::tool {

Table IdentTable(const SDevIdent& ident);
Table ModulesTable(std::uint32_t moduleCount, const std::vector<std::pair<std::uint32_t, SModuleRecord>>& modules);
Table CurrentTable(const SCurrentData& data);
Table TotalsTable(const SAccumulatedData& data);
Table CountersTable(const SArhiveCount& counters);

Table SeriesTable();
void AppendSeries(Table& table, int series, std::uint32_t module, std::uint32_t firstRecord,
                  const std::vector<std::int64_t>& values);

// `module` 0 is the device.
Table ErrorHeadsTable();
void AppendErrorHead(Table& table, std::uint32_t module, const std::vector<std::uint16_t>& words);
Table ErrorRecordsTable();
void AppendErrorRecords(Table& table, std::uint32_t module, std::uint32_t block, const LogBlock& records);
Table EditHeadsTable();
void AppendEditHead(Table& table, std::uint32_t module, std::uint16_t word);
Table EditRecordsTable();
void AppendEditRecords(Table& table, std::uint32_t module, const LogBlock& records);

}  // namespace q31::tool
