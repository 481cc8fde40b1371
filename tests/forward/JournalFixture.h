// A gateway database for the forwarder's tests, made by the real collector:
// two virtual meters on one line, read once.
#pragma once

#include <string>

namespace q31::test {

// Runs `q31 collect --once` over the two meters into DIR/q31.sqlite (a fresh
// DIR when `dir` is empty) and returns the database's path, or "" when the
// run failed. Run again on the same database, it adds a pass.
std::string MakeJournal(std::string dir = {});

// The first column of the first row of `sql` in `db` (-1 when none).
long long SqliteCount(const std::string& db, const std::string& sql);
// Runs `sql` on `db`; false with SQLite's message on stderr when it fails.
bool SqliteExec(const std::string& db, const std::string& sql);

}  // namespace q31::test
