// Meters on one line are read one after another, each on a session of its
// own; an answer that the last meter sends too late must not meet the next
// meter's request.
#include <sqlite3.h>

#include <fstream>

#include <gtest/gtest.h>

#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

TEST(CollectQuietLine, AnAnswerTooLateForOneMeterNeverMeetsTheNextMetersRequest) {
    const std::string dir = MakeTempDir("q31-collect-quiet");
    const std::string config = dir + "/fleet.toml";
    // Every reply of "late" comes 150 ms after its request, past the 100 ms
    // time-out: its pass fails with answers still on their way.
    std::ofstream(config) << "[collect]\nretries = 0\n\n[defaults]\ntimeout_ms = 100\nsend_limit = 1\n"
                             "logs = false\ncurrent_every_min = 0\nseries = [\"t\"]\n\n"
                             "[[meter]]\nname = \"late\"\nport = \"sim:7\"\naddress = 1\nserial = 9001\n"
                             "[meter.sim]\nmodules = 1\nhour_count = 30\nday_count = 2\n"
                             "faults = [{kind = \"delay\", rate = 1.0, param = 150}]\n\n"
                             "[[meter]]\nname = \"next\"\nport = \"sim:7\"\naddress = 2\nserial = 9002\n"
                             "[meter.sim]\nmodules = 1\nhour_count = 30\nday_count = 2\n";
    const std::string db = dir + "/q31.sqlite";
    const CollectRun run = RunCollect({"collect", "--config", config, "--once", "--db", db}, dir);
    EXPECT_NE(run.status, 0) << run.err;

    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(h, "SELECT meter, outcome, rejected_checksum + rejected_other FROM attempts ORDER BY id", -1,
                           &s, nullptr),
        SQLITE_OK);
    std::vector<std::string> rows;
    while (sqlite3_step(s) == SQLITE_ROW)
        rows.push_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))) + " " +
                       reinterpret_cast<const char*>(sqlite3_column_text(s, 1)) + " " +
                       std::to_string(sqlite3_column_int(s, 2)));
    sqlite3_finalize(s);
    sqlite3_close(h);
    // "next" rejected nothing: nothing of "late"'s reached it.
    EXPECT_EQ(rows, (std::vector<std::string>{"late no answer 0", "next ok 0"}));
}

}  // namespace
}  // namespace q31::test
