// The JSON shapes of what the meter hands out, shared by the single
// commands and the dump (docs/q31.md lists them). Keys are snake_case; every
// number is as the plug-in delivers it.
#pragma once

#include <cstdint>
#include <vector>

#include "publicQ31.h"
#include "tools/q31/cli/MeterReader.h"
#include "tools/q31/cli/Report.h"

namespace q31::tool {

Json IdentJson(const SDevIdent& ident);
Json ModuleJson(std::uint32_t module, const SModuleRecord& record);
Json CurrentJson(const SCurrentData& data);
Json TotalsJson(const SAccumulatedData& data);
Json CountersJson(const SArhiveCount& counters);
Json SeriesJson(int series, std::uint32_t module, std::uint32_t from, std::uint32_t firstRecord,
                const std::vector<std::int64_t>& values);
// A log block's records: four one-byte fields, then 32-bit values (one in
// an error record, three in an edit record).
Json RecordsJson(const LogBlock& block);
Json WordsJson(const std::vector<std::uint16_t>& words);

// A record's parts, for the JSON and the tables alike.
std::vector<unsigned> RecordFields(const std::uint8_t* record);
std::vector<std::uint32_t> RecordValues(const std::uint8_t* record, std::uint32_t size);

}  // namespace q31::tool
