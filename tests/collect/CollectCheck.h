// Checks a database that q31 collect wrote against what the virtual meters
// hold, computed from the simulator's content functions: every record of
// every series from the first stored up to the meter's counter (less the
// recorded gaps), each once, with the meter's value; every log record with
// the meter's bytes; and an intact file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace q31::test {

struct SimMeterFacts {
    std::string name;
    int modules = 0;
    std::uint32_t hourCount = 0;
    std::uint32_t dayCount = 0;
};

// The meters of a collect configuration, as its sim tables make them.
std::vector<SimMeterFacts> MetersOfConfig(const std::string& tomlPath);

struct CheckOptions {
    // Each series must begin at the oldest record the ring still held.
    bool fromOldest = true;
    bool logs = true;
    // A run was cut short: a series may be missing altogether, but one that
    // is there must be whole (its batch went in as one).
    bool partial = false;
};

// What is wrong with the database, one line per finding; empty when all is right.
std::vector<std::string> CheckDatabase(const std::string& dbPath, const std::vector<SimMeterFacts>& meters,
                                       const CheckOptions& options = {});

// Runs `sql` (any number of statements) on the file; SQLite's error text, empty when it went well.
std::string ExecSql(const std::string& dbPath, const std::string& sql);

// Every row of a query, its columns joined by "|"; `params` binds named
// parameters (":meter"). An error gives one row "error: ...".
std::vector<std::string> QueryRows(const std::string& dbPath, const std::string& sql,
                                   const std::map<std::string, std::string>& params = {});

// The query of docs/collector.md that follows the comment line "-- TITLE", up
// to its semicolon: what the page tells an operator to run is what is tested.
std::string ReadmeQuery(const std::string& title);

// One number from a query (first column of the first row), -1 when none.
long long QueryNumber(const std::string& dbPath, const std::string& sql);

}  // namespace q31::test
