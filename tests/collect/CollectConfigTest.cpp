// The collector's configuration as an operator mistypes it: every slip stops
// the program at its place in the file, and --check says so without opening
// a port or the database.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

CollectRun Check(const std::string& dir, const std::string& text) {
    const std::string path = dir + "/fleet.toml";
    std::ofstream(path) << text;
    return RunCollect({"collect", "--check", "--config", path, "--db", dir + "/q31.sqlite"}, dir);
}

TEST(CollectConfig, SlipsAreRefusedAtTheirLineAndColumn) {
    const std::string dir = MakeTempDir("q31-collect-slips");
    const std::string meter = "[[meter]]\nname = \"a\"\nport = \"sim:1\"\nserial = 1\n";
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {"[collect]\nretrys = 5\n" + meter, ":2:1: collect: retrys: unknown key (did you mean \"retries\"?)"},
             {"[colect]\nretries = 5\n" + meter, ":1:2: [colect]: unknown table (did you mean [collect]?)"},
             {"dbfile = \"q.sqlite\"\n" + meter,
              ":1:1: dbfile: unknown key at the top level (the file holds only [collect], [defaults], [[meter]], "
              "[sink], [http])"},
             {"retries = 5\n[collect]\n" + meter,
              ":1:1: retries: unknown key at the top level (it belongs in [collect])"},
             {"[meter]\nname = \"a\"\n", ":1:2: meter: must be written as [[meter]] entries"},
             {"[defaults]\nname = \"a\"\n" + meter, ":2:1: defaults: name: set by each [[meter]] itself"},
             {"[defaults]\nBaud = 1200\n" + meter, ":2:1: defaults: Baud: unknown key (did you mean \"baud\"?)"},
             {meter + "adress = 3\n", ":5:1: meter 1 (\"a\"): adress: unknown key (did you mean \"address\"?)"},
             {meter + "[meter.sim]\nhours = 9\n",
              ":6:1: meter 1 (\"a\"): sim: hours: unknown key (known: serial, modules, hour_count, day_count, "
              "version_word, reply_delay_ms, faults, clock_rate)"},
             {meter + "[meter.sim]\nfaults = [{kind = \"short\", rate = 0.1, parm = 3}]\n",
              ":6:40: meter 1 (\"a\"): sim: fault 1: parm: unknown key (did you mean \"param\"?)"},
             {"[[meter]]\nname = \"a\"\nport = \"sim:1\"\n",
              ":1:1: meter 1 (\"a\"): serial: required: the serial number the meter must answer with (q31 id shows "
              "it)"},
             // A value from [defaults] is shown where it was written.
             {"[defaults]\nbaud = 9601\n" + meter, ":2:8: meter 1 (\"a\"): baud: not a standard line speed"},
             {meter + meter, ":6:8: meter 2 (\"a\"): name: another meter has this name"},
             {meter + "parity = \"mark\"\n", ":5:10: meter 1 (\"a\"): parity: must be none, even or odd, not \"mark\""},
             {meter + "sim = 1\n", ":5:7: meter 1 (\"a\"): sim: must be a table"}}) {
        const CollectRun run = Check(dir, text);
        EXPECT_EQ(run.status, 2) << text;
        EXPECT_NE(run.err.find(dir + "/fleet.toml" + message), std::string::npos) << text << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(CollectConfig, CheckSaysOkWithoutOpeningThePortOrTheDatabase) {
    const std::string dir = MakeTempDir("q31-collect-check");
    const CollectRun run = Check(dir, R"([collect]
retries = 1

[[meter]]
name = "a"
port = "/dev/no-such-q31-port"
serial = 11
address = 1

[[meter]]
name = "b"
port = "/dev/no-such-q31-port"
serial = 12
address = 2

[[meter]]
name = "c"
port = "sim:4"
serial = 13
  [meter.sim]
  faults = [{ kind = "delay", rate = 0.5, param = 300 }]
)");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, dir + "/fleet.toml: ok, 3 meters on 2 lines\n");
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(std::filesystem::exists(dir + "/q31.sqlite"));
}

}  // namespace
}  // namespace q31::test
