#include "tools/q31/collect/SqliteDb.h"

#include <sqlite3.h>

#include <algorithm>
#include <thread>

#include "tools/q31/ToolError.h"

namespace q31::tool::collect {

SqliteDb::SqliteDb(const std::string& path) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw ToolError(kExitFailure, "cannot open the database " + path + ": " + why);
    }
    // Another program (sqlite3 on the command line, a report) may hold the
    // file for a while; wait rather than fail the batch.
    sqlite3_busy_handler(db_, &SqliteDb::Busy, this);
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

int SqliteDb::Busy(void* self, int count) {
    auto& db = *static_cast<SqliteDb*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) db.busySince_ = now;
    const long long waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - db.busySince_).count();
    const bool keep = db.keepWaiting_ ? db.keepWaiting_(waited) : waited < 10000;
    if (!keep) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10 << std::min(count, 7), 1000)));
    return 1;
}

void SqliteDb::Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw ToolError(kExitFailure, path_ + ": " + why);
    }
}

SqliteDb::Transaction::Transaction(SqliteDb& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }

SqliteDb::Transaction::~Transaction() {
    if (open_) sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteDb::Transaction::Commit() {
    db_.Exec("COMMIT");
    open_ = false;
}

}  // namespace q31::tool::collect
