#include "tools/q31/common/SqliteDb.h"

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "tools/q31/common/StoreFullError.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

std::string SqliteErrorText(sqlite3* db) {
    std::string text = sqlite3_errmsg(db);
    // SQLite keeps the system's error number only for these two; with any
    // other code it may be left over from an earlier failure.
    const int code = sqlite3_extended_errcode(db) & 0xff;
    const int osError = sqlite3_system_errno(db);
    if ((code == SQLITE_CANTOPEN || code == SQLITE_IOERR) && osError != 0)
        text += std::string(" (") + std::strerror(osError) + ")";
    return text;
}

std::string SqliteFileName(sqlite3* db) {
    const char* name = sqlite3_db_filename(db, "main");
    return name && *name ? name : "database";
}

void ThrowSqliteError(sqlite3* db, const std::string& text) {
    const int code = sqlite3_extended_errcode(db) & 0xff;
    const std::string message = text + ": " + SqliteErrorText(db);
    if (code == SQLITE_FULL || (code == SQLITE_IOERR && sqlite3_system_errno(db) == ENOSPC))
        throw StoreFullError(message);
    throw ToolError(kExitFailure, message);
}

namespace {
int OpenFlags(SqliteDb::Mode mode) {
    switch (mode) {
        case SqliteDb::Mode::ReadWrite: return SQLITE_OPEN_READWRITE;
        case SqliteDb::Mode::ReadOnly: return SQLITE_OPEN_READONLY;
        case SqliteDb::Mode::Create: break;
    }
    return SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
}
}  // namespace

SqliteDb::SqliteDb(const std::string& path, Mode mode) : path_(path) {
    if (sqlite3_open_v2(path.c_str(), &db_, OpenFlags(mode), nullptr) != SQLITE_OK) {
        const std::string why = db_ ? SqliteErrorText(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw ToolError(kExitFailure, "cannot open the database " + path + ": " + why);
    }
    // Another program (sqlite3 on the command line, a report) may hold the
    // file for a while; wait rather than fail the batch.
    if (sqlite3_busy_handler(db_, &SqliteDb::Busy, this) != SQLITE_OK) {
        const std::string why = SqliteErrorText(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw ToolError(kExitFailure, "cannot open the database " + path + ": " + why);
    }
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
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) ThrowSqliteError(db_, path_);
}

SqliteDb::Transaction::Transaction(SqliteDb& db, Kind kind) : db_(db) {
    db_.Exec(kind == Kind::Read ? "BEGIN" : "BEGIN IMMEDIATE");
}

SqliteDb::Transaction::~Transaction() {
    if (open_) sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteDb::Transaction::Commit() {
    db_.Exec("COMMIT");
    open_ = false;
}

}  // namespace q31::tool
