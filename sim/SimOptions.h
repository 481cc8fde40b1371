// Command line of the q31-sim program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/BusPlan.h"
#include "sim/FaultRateOption.h"
#include "sim/MeterConfig.h"
#include "sim/PtyMeterOptions.h"

namespace q31::sim {

// --meter ADDRESS:SERIAL[:SEED]
struct BusMeterOption {
    std::uint8_t address = 0;
    std::uint32_t serial = 0;
    std::optional<std::uint64_t> seed;  // default: --seed plus the address, so meters differ
};

struct SimOptions {
    MeterConfig meter;
    PtyMeterOptions line;
    std::vector<FaultRateOption> faultRates;
    // A bus: --meter ADDR:SERIAL[:SEED], each made like `meter` otherwise.
    // None (and no bus file): the bus of the one meter `meter`.
    std::vector<BusMeterOption> busMeters;
    std::string busFile;  // --bus FILE: meters, clock and events in TOML
    std::optional<double> clockRate;
    std::optional<int> writeDuringReads;
    std::vector<BusEvent> events;  // --swap, --reset
    std::string historyOut;        // --history-out FILE: JSON lines, one per write
    // --listen HOST:PORT (repeatable): the bus on a socket per listener in
    // place of the pseudo-terminal.
    std::vector<std::string> listen;
    // --dial HOST:PORT --register ID [--heartbeat TEXT --every S]: the bus
    // behind a modem that calls in.
    std::string dial;
    std::string registerId;
    std::string heartbeat;
    int heartbeatEveryMs = 60000;
    int seconds = 0;       // > 0: serve this long, stdin ignored; 0: serve until stdin ends
    bool verbose = false;  // one line per request on stderr
    bool help = false;
};

// Parses argv[1..argc-1]. Returns false with a message in `error` on a bad
// argument. Numbers may be decimal or 0x-prefixed hexadecimal.
bool ParseSimOptions(int argc, const char* const* argv, SimOptions& options, std::string& error);

std::string SimUsage();

// The bus the options describe: the bus file's meters, clock and events, then
// the --meter options, --swap and --reset and the clock options on top.
// Returns false with a message in `error` when the bus file is unusable.
// `lineEcho` is set when the bus file asks for an echoing line.
bool MakeBusPlan(const SimOptions& options, BusPlan& plan, bool& lineEcho, std::string& error);

// A fault rate written K:P[:X], as --fault-rate takes it.
bool ParseFaultRateOption(std::string_view text, FaultRateOption& out);

// Reads a bus file into `plan`: top-level `clock_rate`, `write_during_reads`
// and `echo` (the line's); `[[meter]]` tables with `address`, `serial`,
// `seed`, `modules`, `hour_count`, `day_count`, `version_word`,
// `archive_first_word`, `echo` (the meter's own) and `faults`
// (["K:P[:X]", ...]); `[[swap]]` (`at`, `address`, `serial`) and `[[reset]]`
// (`at`, `address`, `hour_count`, `day_count`). Meters start from
// `defaults`. `lineEcho` is set when the file asks for an echoing line.
bool LoadBusFile(const std::string& path, const MeterConfig& defaults, BusPlan& plan, bool& lineEcho,
                 std::string& error);

}  // namespace q31::sim
