// The SQLite wrapper as the forwarders and the status page use it: how each
// mode opens a file, and that a read transaction and a bind are checked and
// hold.
#include "tools/q31/common/SqliteDb.h"

#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "tools/q31/common/SqliteStatement.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {
namespace {

namespace fs = std::filesystem;

class SqliteDbTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("q31-sqlite-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        path_ = (dir_ / "q31.sqlite").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::int64_t Count(SqliteDb& db) {
        SqliteStatement q(db.Handle(), "SELECT count(*) FROM t");
        q.Step();
        return q.Int(0);
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(SqliteDbTest, OnlyCreateMakesAFileAndReadOnlyNeverWrites) {
    EXPECT_THROW(SqliteDb(path_, SqliteDb::Mode::ReadOnly), ToolError);
    EXPECT_THROW(SqliteDb(path_, SqliteDb::Mode::ReadWrite), ToolError);
    EXPECT_FALSE(fs::exists(path_));

    SqliteDb(path_).Exec("CREATE TABLE t(x INTEGER)");
    SqliteDb reader(path_, SqliteDb::Mode::ReadOnly);
    EXPECT_THROW(reader.Exec("INSERT INTO t VALUES(1)"), ToolError);
    SqliteDb writer(path_, SqliteDb::Mode::ReadWrite);
    writer.Exec("INSERT INTO t VALUES(1)");
    EXPECT_EQ(Count(reader), 1);
}

TEST_F(SqliteDbTest, AReadTransactionSeesOneMomentAndBindsAreChecked) {
    SqliteDb writer(path_);
    writer.Exec("PRAGMA journal_mode=WAL; CREATE TABLE t(x INTEGER); INSERT INTO t VALUES(1)");
    SqliteDb reader(path_, SqliteDb::Mode::ReadOnly);
    {
        SqliteDb::Transaction reading(reader, SqliteDb::Transaction::Kind::Read);
        EXPECT_EQ(Count(reader), 1);
        // Not a write lock: the collector's writes go on meanwhile.
        writer.Exec("INSERT INTO t VALUES(2)");
        EXPECT_EQ(Count(reader), 1);
    }
    EXPECT_EQ(Count(reader), 2);

    SqliteStatement q(reader.Handle(), "SELECT x FROM t WHERE x = ?");
    EXPECT_THROW(q.Bind(2, std::int64_t{1}), ToolError);
    EXPECT_THROW(q.Bind(0, std::string("1")), ToolError);
    q.Reset().Bind(1, std::int64_t{2});
    ASSERT_TRUE(q.Step());
    EXPECT_EQ(q.MaybeInt(0), std::optional<std::int64_t>(2));
}

}  // namespace
}  // namespace q31::tool
