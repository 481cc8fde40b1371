// q31 collect on a meter behind a serial server: port = "tcp://..." and
// "rfc2217://..." through ser2net in front of q31-sim's pseudo-terminal.
#include <gtest/gtest.h>

#include <fstream>

#include "support/ChildProcess.h"
#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"
#include "tests/e2e/Ser2netServer.h"
#include "tests/forward/ServerRules.h"

namespace q31::test {
namespace {

TEST(CollectRemote, AMeterBehindASerialServerIsReadWholeRawAndThroughRfc2217) {
    Q31_NEED_SERVER(Ser2netServer::Available(), "ser2net");
    ChildProcess sim;
    ASSERT_TRUE(sim.Start(Q31_SIM_PROGRAM, {"--serial", "5150", "--hour-count", "12", "--day-count", "3"}));
    const std::string pty = sim.FirstLine(10000);
    ASSERT_FALSE(pty.empty());
    Ser2netServer server(pty);
    ASSERT_TRUE(server.Start());
    const std::string dir = MakeTempDir("q31-collect-remote");
    int run = 0;
    for (const std::string& url : {server.RawUrl(), server.TelnetUrl()}) {
        const std::string db = dir + "/" + std::to_string(++run) + ".sqlite";
        const std::string config = dir + "/remote.toml";
        std::ofstream(config) << "[[meter]]\nname = \"remote\"\nport = \"" << url << "\"\nserial = 5150\n";
        CollectRun collect;
        // ser2net turns a client away while it still holds the device for the last one.
        for (int tries = 0; tries < 10 && (tries == 0 || collect.status != 0); ++tries)
            collect = RunCollect({"collect", "--config", config, "--once", "--db", db}, dir);
        ASSERT_EQ(collect.status, 0) << url << ": " << collect.err;
        EXPECT_NE(collect.out.find("1 meter read, 0 failed"), std::string::npos) << collect.out;
        // 12 hourly and 3 daily records: time once, five series for each of six modules.
        EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values"), 465) << url;
        EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM gaps"), 0) << url;
    }
}

}  // namespace
}  // namespace q31::test
