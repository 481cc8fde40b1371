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
    for (
        const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
            {"[collect]\nretrys = 5\n" + meter, ":2:1: collect: retrys: unknown key (did you mean \"retries\"?)"},
            {"[colect]\nretries = 5\n" + meter, ":1:2: [colect]: unknown table (did you mean [collect]?)"},
            {"dbfile = \"q.sqlite\"\n" + meter,
             ":1:1: dbfile: unknown key at the top level (the file holds only [collect], [defaults], [[meter]], "
             "[quantity], [sink], [http], [modems])"},
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
            {meter + "sim = 1\n", ":5:7: meter 1 (\"a\"): sim: must be a table"},
            {"[quantity.time]\nunit = \"s\"\n" + meter,
             ":1:11: quantity.time: the meter's Time value has no quantity: its encoding is the meter's own, kept raw"},
            {meter + "[meter.quantity.E]\nunit = \"GJ\"\n",
             ":5:17: meter 1 (\"a\"): quantity.E: unknown series (did you mean \"e\"?)"},
            {"[quantity.e]\nunits = \"GJ\"\n" + meter, ":2:1: quantity.e: units: unknown key (did you mean \"unit\"?)"},
            {"[quantity.e]\nscale = 0.001\n" + meter,
             ":1:1: quantity.e: unit: required: the unit of raw × scale, such as \"GJ\""},
            // The meter's own table is read over the global one, key by key.
            {"[quantity.e]\nunit = \"GJ\"\n" + meter + "[meter.quantity.e]\nscale = 0\n",
             ":8:9: meter 1 (\"a\"): quantity.e: scale: must be a number above 0"},
            {"[quantity.e]\nunit = \"GJ\"\nscale = nan\n" + meter, ":3:9: quantity.e: scale: must be a number above 0"},
            {"[[meter]]\nname = \"m\"\nport = \"modem:7\"\nserial = 1\n",
             ":3:8: meter 1 (\"m\"): port: modem: ports need a [modems] table with listen = \"HOST:PORT\""},
            {"[modems]\nlisten = \"4059\"\n" + meter, ":2:10: modems: listen: must be HOST:PORT"},
            {"[modems]\nlisten = \":4059\"\nid_end = \"\"\n" + meter,
             ":3:10: modems: id_end: must be 1 to 8 characters"}}) {
        const CollectRun run = Check(dir, text);
        EXPECT_EQ(run.status, 2) << text;
        EXPECT_NE(run.err.find(dir + "/fleet.toml" + message), std::string::npos) << text << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// What the run would refuse, or would do harm with, is refused by --check
// already, at the value at fault.
TEST(CollectConfig, ValuesTheRunCannotUseAreRefusedAtTheirPlace) {
    const std::string dir = MakeTempDir("q31-collect-refusals");
    const std::string meter = "[[meter]]\nname = \"a\"\nport = \"sim:1\"\nserial = 1\n";
    const std::string wildcard = "holds an MQTT wildcard (+ or #), which no topic may carry";
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {"[collect]\nretry_base_ms = 0\n" + meter, ":2:17: collect: retry_base_ms: must lie in 1..86400000"},
             {"[collect]\nretry_base_ms = 5000\nretry_max_ms = 1000\n" + meter,
              ":3:16: collect: retry_max_ms: retry_max_ms (1000) is below retry_base_ms (5000)"},
             {"[collect]\nretry_base_ms = 400000\n" + meter,
              ":2:17: collect: retry_base_ms: retry_max_ms (300000) is below retry_base_ms (400000)"},
             {"[http]\nlisten = \"127.0.0.1:99999\"\n" + meter,
              ":2:10: http: listen: the port must be a number 0..65535, not \"99999\""},
             {"[http]\nlisten = \"::1:80\"\n" + meter,
              ":2:10: http: listen: the host must be a name, an IPv4 address or an [IPv6] address, not \"::1\""},
             {"[sink.postgres]\nurl = \"http://nope\"\n" + meter,
              ":2:7: sink.postgres: url: must be postgresql://USER@HOST:PORT/DATABASE or key=value pairs (host=... "
              "dbname=...)"},
             {"[sink.postgres]\nurl = \"postgresql://q@h/d?colour=red\"\n" + meter,
              ":2:7: sink.postgres: url: not a connection string libpq takes (URL)"},
             {"[sink.mqtt]\nhost = \"mqtt://broker\"\n" + meter,
              ":2:8: sink.mqtt: host: must be a host name or address, e.g. \"broker.example.org\" (not a URL)"},
             {"[sink.mqtt]\nprefix = \"q31/#\"\n" + meter, ":2:10: sink.mqtt: prefix: " + wildcard},
             {"[sink.mqtt]\nhomeassistant = true\nhomeassistant_prefix = \"\"\n" + meter,
              ":3:24: sink.mqtt: homeassistant_prefix: must not be empty: the first level of its topics"},
             {"[collect]\ngateway = \"north+\"\n" + meter, ":2:11: collect: gateway: " + wildcard},
             {"[sink.mqtt]\n[[meter]]\nname = \"a+b\"\nport = \"sim:1\"\nserial = 1\n",
              ":3:8: meter 1 (\"a+b\"): name: " + wildcard + " ([sink.mqtt] is on)"},
             // Shown escaped: the message is one line whatever the name holds.
             {"[[meter]]\nname = \"a\\nb\"\nport = \"sim:1\"\nserial = 1\n",
              ":2:8: meter 1 (\"a\\nb\"): name: holds a control character, which no log line, topic or column "
              "takes as it is"},
             {"[[meter]]\nname = \"a\\u0000b\"\nport = \"sim:1\"\nserial = 1\n",
              ":2:8: meter 1 (\"a\\x00b\"): name: holds a control character, which no log line, topic or column "
              "takes as it is"},
             {"[sink.mqtt]\npassword_file = \"${CREDENTIALS_DIRECTORY}/mqtt\"\n" + meter,
              ":2:17: sink.mqtt: password_file: ${CREDENTIALS_DIRECTORY} is not set: systemd sets it for a service "
              "with LoadCredential=; by hand, set it to the directory that holds the file"}}) {
        const CollectRun run = Check(dir, text);
        EXPECT_EQ(run.status, 2) << text;
        EXPECT_NE(run.err.find(dir + "/fleet.toml" + message), std::string::npos) << text << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
}

// The ranges of the line's options, and those written as fractions.
TEST(CollectConfig, ValuesOutsideTheirRangeAreRefusedWithTheRange) {
    const std::string dir = MakeTempDir("q31-collect-ranges");
    const std::string meter = "[[meter]]\nname = \"a\"\nport = \"sim:1\"\nserial = 1\n";
    const std::string at = " meter 1 (\"a\"): ";
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {meter + "address = 239\n", ":5:11:" + at + "address: must lie in 1..238"},
             {meter + "address = 0\n", ":5:11:" + at + "address: must lie in 1..238"},
             {meter + "timeout_ms = 600001\n", ":5:14:" + at + "timeout_ms: must lie in 1..600000"},
             {meter + "send_limit = 0\n", ":5:14:" + at + "send_limit: must lie in 1..1000"},
             {meter + "archive_every_min = 0.001\n",
              ":5:21:" + at + "archive_every_min: must lie in 0.01..1000000 minutes"},
             {meter + "modules = [7]\n", ":5:11:" + at + "modules: must be an array of module numbers 1..6"},
             {meter + "[meter.sim]\nclock_rate = -1\n", ":6:14:" + at + "sim: clock_rate: must be a number 0 or more"},
             {meter + "[meter.sim]\nfaults = [{kind = \"short\", rate = 1.5}]\n",
              ":6:35:" + at + "sim: fault 1: rate: must lie in 0..1"},
             {"[sink.mqtt]\nkeepalive_s = 4\n" + meter, ":2:15: sink.mqtt: keepalive_s: must lie in 5..3600"}}) {
        const CollectRun run = Check(dir, text);
        EXPECT_EQ(run.status, 2) << text;
        EXPECT_NE(run.err.find(dir + "/fleet.toml" + message), std::string::npos) << text << run.err;
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
