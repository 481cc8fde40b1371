// What the collector says when its database or a port cannot be used: the
// file named, the system's reason, and what to do where that is known.
#include <cerrno>
#include <fstream>

#include <gtest/gtest.h>

#include "support/HostPort.h"
#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CollectMessages, AnUnusableDatabaseIsNamedWithTheReasonAndAPortRefusalSaysWhatToDo) {
    const std::string dir = MakeTempDir("q31-collect-messages");
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << "[[meter]]\nname = \"x\"\nport = \"sim:1\"\nserial = 1\n";

    const std::string text = dir + "/notes.txt";
    std::ofstream(text) << "not a database, but long enough to be read as the first page of one\n";
    const CollectRun notDb = RunCollect({"collect", "--config", config, "--once", "--db", text}, dir);
    EXPECT_EQ(notDb.status, 1);
    EXPECT_TRUE(Contains(notDb.err, "notes.txt: PRAGMA journal_mode=WAL: file is not a database")) << notDb.err;

    const std::string missing = dir + "/no-such-dir/q31.sqlite";
    const CollectRun noDir = RunCollect({"collect", "--config", config, "--once", "--db", missing}, dir);
    EXPECT_EQ(noDir.status, 1);
    EXPECT_TRUE(Contains(noDir.err, "cannot open the database " + missing +
                                        ": unable to open database file (No such file or directory)"))
        << noDir.err;

    // Tests may run as root, whom no device refuses: the text itself.
    EXPECT_EQ(HostPortOpenErrorText(EACCES),
              "Permission denied (is this user in the dialout group? `sudo usermod -aG dialout $USER`, then log in "
              "again)");
    EXPECT_EQ(HostPortOpenErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(HostPortOpenErrorText(EBUSY), "in use by another program");
}

}  // namespace
}  // namespace q31::test
