// One prepared SQLite statement: bind by position (from 1), step, read
// columns (from 0). Reset before each reuse happens in Bind's first call.
// Errors throw ToolError that names the database file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace q31::tool {

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const std::string& sql);
    ~SqliteStatement();
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Clears the previous bindings and results; Bind* after this.
    SqliteStatement& Reset();
    SqliteStatement& Bind(int index, std::int64_t value);
    SqliteStatement& Bind(int index, const std::string& value);
    // Apart from Bind: an int would fit a double as well as an int64.
    SqliteStatement& BindReal(int index, double value);
    SqliteStatement& BindBlob(int index, const std::vector<std::uint8_t>& value);

    // True while a row is there; false when done. Throws on an error.
    bool Step();
    // Runs to the end; the number of rows it changed.
    int Run();

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    // Int, or nothing for NULL.
    std::optional<std::int64_t> MaybeInt(int column) const;
    double Real(int column) const;
    std::string Text(int column) const;
    std::vector<std::uint8_t> Blob(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace q31::tool
