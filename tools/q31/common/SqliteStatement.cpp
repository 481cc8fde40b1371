#include "tools/q31/common/SqliteStatement.h"

#include <sqlite3.h>

#include "tools/q31/common/SqliteDb.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {
[[noreturn]] void Fail(sqlite3* db, const std::string& what) { ThrowSqliteError(db, SqliteFileName(db) + ": " + what); }
}  // namespace

SqliteStatement::SqliteStatement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) Fail(db_, sql);
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement& SqliteStatement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, std::int64_t value) {
    if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) Fail(db_, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::Bind(int index, const std::string& value) {
    if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::BindReal(int index, double value) {
    if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) Fail(db_, "bind");
    return *this;
}

SqliteStatement& SqliteStatement::BindBlob(int index, const std::vector<std::uint8_t>& value) {
    if (sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        Fail(db_, "bind");
    return *this;
}

bool SqliteStatement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, sqlite3_sql(stmt_));
}

int SqliteStatement::Run() {
    while (Step()) {
    }
    return sqlite3_changes(db_);
}

bool SqliteStatement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
std::int64_t SqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::optional<std::int64_t> SqliteStatement::MaybeInt(int column) const {
    if (IsNull(column)) return std::nullopt;
    return Int(column);
}

double SqliteStatement::Real(int column) const { return sqlite3_column_double(stmt_, column); }

std::string SqliteStatement::Text(int column) const {
    const auto* p = sqlite3_column_text(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
             : std::string();
}

std::vector<std::uint8_t> SqliteStatement::Blob(int column) const {
    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    return p ? std::vector<std::uint8_t>(p, p + sqlite3_column_bytes(stmt_, column)) : std::vector<std::uint8_t>();
}

}  // namespace q31::tool
