// An open SQLite database and its transactions. Errors throw ToolError that
// names the file, with SQLite's own text and, where the system refused
// something, the system's reason.
#pragma once

#include <chrono>
#include <functional>
#include <string>

struct sqlite3;

namespace q31::tool {

// SQLite's text for the last error on `db`, followed by the system's reason
// in parentheses when an open or a read or write of the file failed.
std::string SqliteErrorText(sqlite3* db);

// The file `db` works on, as SQLite opened it (a full path), or "database"
// for one in memory.
std::string SqliteFileName(sqlite3* db);

// Throws the error of the last call on `db`, `text` first: StoreFullError
// when the disk was full, else ToolError.
[[noreturn]] void ThrowSqliteError(sqlite3* db, const std::string& text);

class SqliteDb {
public:
    // Create: made when missing (the collector's store); ReadWrite: the file
    // must be there (a forwarder keeps its positions in it); ReadOnly: the
    // status page, which must never write.
    enum class Mode { Create, ReadWrite, ReadOnly };

    explicit SqliteDb(const std::string& path, Mode mode = Mode::Create);
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    void Exec(const std::string& sql);

    // While another program holds the database, every statement waits with a
    // growing pause (up to a second) and asks `keepWaiting`, with how long
    // this wait has lasted so far, whether to go on; when it says no, the
    // statement fails as busy. Without it, a wait ends after 10 s.
    void OnBusy(std::function<bool(long long waitedMs)> keepWaiting) { keepWaiting_ = std::move(keepWaiting); }
    sqlite3* Handle() const { return db_; }
    const std::string& Path() const { return path_; }

    // BEGIN IMMEDIATE ... COMMIT; the destructor of an open one rolls back.
    // A Read one is a plain BEGIN: the reads in it see one moment of the
    // file, and it takes no write lock, so it never holds up a writer.
    class Transaction {
    public:
        enum class Kind { Write, Read };

        explicit Transaction(SqliteDb& db, Kind kind = Kind::Write);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void Commit();

    private:
        SqliteDb& db_;
        bool open_ = true;
    };

private:
    static int Busy(void* self, int count);

    sqlite3* db_ = nullptr;
    std::function<bool(long long)> keepWaiting_;
    std::chrono::steady_clock::time_point busySince_{};
    std::string path_;
};

}  // namespace q31::tool
