#include "tests/forward/JournalFixture.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace q31::test {

std::string MakeJournal(std::string dir) {
    if (dir.empty()) {
        char made[] = "/tmp/q31-forward-XXXXXX";
        if (!mkdtemp(made)) return {};
        dir = made;
    }
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << R"(
[collect]
retries = 0
[defaults]
timeout_ms = 100
[[meter]]
name = "a"
port = "sim:21"
serial = 21
  [meter.sim]
  modules = 2
  hour_count = 70
  day_count = 12
[[meter]]
name = "b"
port = "sim:21"
serial = 22
address = 202
  [meter.sim]
  modules = 1
  hour_count = 30
  day_count = 3
)";
    const std::string db = dir + "/q31.sqlite";
    const std::string command =
        std::string(Q31_TOOL_PROGRAM) + " collect --once --quiet --config " + config + " --db " + db;
    return std::system(command.c_str()) == 0 ? db : std::string{};
}

long long SqliteCount(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_busy_timeout(h, 5000);
    sqlite3_stmt* s = nullptr;
    long long n = -1;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    sqlite3_close(h);
    return n;
}

bool SqliteExec(const std::string& db, const std::string& sql) {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(h, 5000);
    char* error = nullptr;
    const bool ok = sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok) std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
    sqlite3_free(error);
    sqlite3_close(h);
    return ok;
}

}  // namespace q31::test
