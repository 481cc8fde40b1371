// One prepared statement on a read connection of the forwarders and the
// status page (the collector's own store has its own classes, which throw
// the tool's errors); finalized when it goes. Errors throw
// std::runtime_error with SQLite's text.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace q31::tool::forward {

class SqliteQuery {
public:
    SqliteQuery(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db));
    }
    ~SqliteQuery() { sqlite3_finalize(s_); }
    SqliteQuery(const SqliteQuery&) = delete;
    SqliteQuery& operator=(const SqliteQuery&) = delete;

    SqliteQuery& Bind(int i, std::int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    SqliteQuery& Bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    bool Step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    }
    void Reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    std::int64_t Int(int c) const { return sqlite3_column_int64(s_, c); }
    bool IsNull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    std::optional<std::int64_t> MaybeInt(int c) const {
        return IsNull(c) ? std::nullopt : std::optional<std::int64_t>(Int(c));
    }
    std::vector<std::uint8_t> Blob(int c) const {
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s_, c));
        return p ? std::vector<std::uint8_t>(p, p + sqlite3_column_bytes(s_, c)) : std::vector<std::uint8_t>{};
    }
    std::string Text(int c) const {
        const auto* p = sqlite3_column_text(s_, c);
        return p ? reinterpret_cast<const char*>(p) : "";
    }

private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

}  // namespace q31::tool::forward
