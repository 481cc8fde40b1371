// What q31 tells an operator when something is wrong, and with which exit
// status: a port that does not open, a bad argument, another meter, a
// silent meter, damaged replies; and the line trace that shows why.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#include "sim/MeterLayout.h"
#include "support/ChildProcess.h"
#include "tests/tool/ToolRun.h"

namespace q31::test {
namespace {

// The exit statuses the manual page promises.
constexpr int kBadArgument = 2;
constexpr int kPortOpen = 3;
constexpr int kNoAnswer = 4;
constexpr int kOtherMeter = 5;

// A q31-sim of its own, for the meters q31 does not start itself.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        if (child_.Start(Q31_SIM_PROGRAM, args)) path_ = child_.FirstLine(10000);
    }
    ~SimProcess() { child_.Stop(); }
    const std::string& Path() const { return path_; }

private:
    ChildProcess child_;
    std::string path_;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ExitStatus, APortThatCannotBeOpenedGivesTheSystemsReason) {
    const ToolRun run = RunTool({"--port", "/dev/no-such-q31-port", "id"});
    EXPECT_EQ(run.status, kPortOpen);
    EXPECT_TRUE(Contains(run.err, "/dev/no-such-q31-port")) << run.err;
    EXPECT_TRUE(Contains(run.err, std::strerror(ENOENT))) << run.err;
    EXPECT_TRUE(run.out.empty());
}

TEST(ExitStatus, AVirtualMeterWithoutQ31SimBesideTheProgramSaysWhereItWasLookedFor) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("q31-alone-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::copy_file(Q31_TOOL_PROGRAM, dir / "q31", fs::copy_options::overwrite_existing);
    const std::string plugin = fs::path(Q31_TOOL_PROGRAM).parent_path() / "libpublicQ31.so";
    const ToolRun run = RunProgram((dir / "q31").string(), {"--library", plugin, "id"});
    fs::remove_all(dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "cannot start the virtual meter: q31-sim is neither beside " + dir.string()))
        << run.err;
    EXPECT_TRUE(run.out.empty());
}

TEST(ExitStatus, BadArgumentsAreRefusedBeforeTheLineIsTouched) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--baud", "12345", "id"},
             {"--parity", "mark", "id"},
             {"--stop-bits", "3", "id"},
             {"--format", "xml", "id"},
             {"--confirm", "sometimes", "id"},
             {"module", "7"},
             {"series", "x_hour", "1"},
             {"errors", "2", "6"},
             {"edits", "9"},
             {"frobnicate"},
             {"dump", "--modules", "1,7"},
             {"service", "analog-read", "0", "253"},
         }) {
        // A port that would fail to open shows the argument was judged first.
        std::vector<std::string> withPort = args;
        withPort.insert(withPort.begin(), {"--port", "/dev/no-such-q31-port"});
        const ToolRun run = RunTool(withPort);
        EXPECT_EQ(run.status, kBadArgument) << args.back() << ": " << run.err;
        EXPECT_FALSE(run.err.empty());
    }
}

TEST(ExitStatus, NamedSettingsTakeTheirNamesInAnyCaseAndNothingElse) {
    for (const auto& [args, status, message] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
             {{"--parity", "1", "id"}, kBadArgument, "--parity: must be none, even or odd, not \"1\""},
             {{"--parity", "x", "id"}, kBadArgument, "--parity: must be none, even or odd, not \"x\""},
             {{"--format", "2", "id"}, kBadArgument, "--format: must be human, json or csv, not \"2\""},
             {{"--parity", "Even", "--format", "JSON", "id"}, kPortOpen, "/dev/no-such-q31-port"}}) {
        std::vector<std::string> withPort = args;
        withPort.insert(withPort.begin(), {"--port", "/dev/no-such-q31-port"});
        const ToolRun run = RunTool(withPort);
        EXPECT_EQ(run.status, status) << args[1];
        EXPECT_TRUE(Contains(run.err, message)) << run.err;
    }
}

TEST(ExitStatus, ARecordNotYetWrittenIsABadArgument) {
    // The virtual meter has written 600 daily records.
    const ToolRun run = RunTool({"series", "t_day", "1", "600"});
    EXPECT_EQ(run.status, kBadArgument);
    EXPECT_TRUE(Contains(run.err, "600")) << run.err;
}

TEST(ExitStatus, AnotherMeterNamesBothSerialNumbers) {
    SimProcess sim({"--serial", "777001"});
    ASSERT_FALSE(sim.Path().empty());
    for (const char* command : {"id", "current"}) {
        const ToolRun run = RunTool({"--port", sim.Path(), "--serial", "310001", command});
        EXPECT_EQ(run.status, kOtherMeter) << command << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, "310001") && Contains(run.err, "777001")) << run.err;
    }
    // The meter meant answers as usual.
    EXPECT_EQ(RunTool({"--port", sim.Path(), "--serial", "777001", "counters"}).status, 0);
}

TEST(ExitStatus, ASilentMeterIsNoAnswerWithTheCountsOfTheLine) {
    SimProcess sim({"--fault-rate", "silence:1"});
    ASSERT_FALSE(sim.Path().empty());
    const ToolRun run = RunTool({"--port", sim.Path(), "--timeout", "100", "--send-limit", "2", "--trace", "id"});
    EXPECT_EQ(run.status, kNoAnswer) << run.err;
    // The first send and two re-sends, and nothing came back.
    EXPECT_TRUE(Contains(run.err, "3 sends, 0 bytes received, 0 checksum failures")) << run.err;
    std::size_t writes = 0;
    for (const std::string& line : Lines(run.err)) writes += Contains(line, " ->  ");
    EXPECT_EQ(writes, 3u) << run.err;
    EXPECT_TRUE(Contains(run.err, "re-send #2")) << run.err;
    EXPECT_TRUE(Contains(run.err, "time-out")) << run.err;
}

TEST(ExitStatus, DamagedRepliesAreCountedAndEachRejectionShown) {
    SimProcess sim({"--fault-rate", "bad-checksum:1"});
    ASSERT_FALSE(sim.Path().empty());
    const ToolRun run = RunTool({"--port", sim.Path(), "--timeout", "200", "--trace", "id"});
    EXPECT_EQ(run.status, kNoAnswer) << run.err;
    // The default send limit: three re-sends after the first.
    EXPECT_TRUE(Contains(run.err, "4 sends")) << run.err;
    EXPECT_TRUE(Contains(run.err, "4 checksum failures")) << run.err;
    std::size_t rejections = 0;
    for (const std::string& line : Lines(run.err)) rejections += Contains(line, "rejected: bad checksum");
    EXPECT_EQ(rejections, 4u);
}

TEST(LineTrace, ShowsTheWrittenPacketAndTheReplyInHex) {
    const ToolRun run = RunTool({"--trace", "id"});
    ASSERT_EQ(run.status, 0) << run.err;
    // The identification request to address 201 (C9), command 0x0F, and the
    // reply to master 240 (F0); each line starts with the time in seconds.
    bool wrote = false, read = false, accepted = false;
    for (const std::string& line : Lines(run.err)) {
        double seconds = -1;
        char direction[16] = {};
        if (std::sscanf(line.c_str(), "%lf %15s", &seconds, direction) != 2) continue;
        EXPECT_GE(seconds, 0.0) << line;
        if (std::strcmp(direction, "->") == 0 && Contains(line, "C9 01 0F")) wrote = true;
        if (std::strcmp(direction, "<-") == 0 && Contains(line, "F0 0E")) read = true;
        if (std::strcmp(direction, "accepted") == 0) accepted = true;
    }
    EXPECT_TRUE(wrote && read && accepted) << run.err;
    // stdout carries the report alone.
    EXPECT_TRUE(Contains(run.out, "310001"));
    EXPECT_FALSE(Contains(run.out, "->"));
}

TEST(LineTrace, ConfirmAlwaysSendsEachReadTwiceAndOffOnce) {
    // The identification request to address 201, as it goes out.
    auto sends = [](const ToolRun& run) {
        std::size_t n = 0;
        for (const std::string& line : Lines(run.err)) n += Contains(line, " ->  ") && Contains(line, "C9 01 0F");
        return n;
    };
    const ToolRun always = RunTool({"--confirm", "always", "--trace", "id"});
    ASSERT_EQ(always.status, 0) << always.err;
    EXPECT_EQ(sends(always), 2u) << always.err;
    EXPECT_FALSE(Contains(always.err, "re-send #")) << "a confirming read is no re-send";
    const ToolRun off = RunTool({"--trace", "id", "--confirm", "OFF"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(sends(off), 1u) << off.err;

    const ToolRun bad = RunTool({"--confirm", "twice", "id"});
    EXPECT_EQ(bad.status, kBadArgument);
    EXPECT_TRUE(Contains(bad.err, "--confirm") && Contains(bad.err, "off, always or auto")) << bad.err;
}

TEST(LineSettings, EveryStandardSpeedParityAndStopBitsOpenTheLine) {
    // A pseudo-terminal takes any setting, so the meter still answers: the
    // settings were accepted by the system as given.
    for (const std::vector<std::string>& line :
         std::vector<std::vector<std::string>>{{"--baud", "50", "--parity", "even", "--stop-bits", "2"},
                                               {"--baud", "4000000", "--parity", "odd"},
                                               {"--baud", "1200", "--parity", "none", "--stop-bits", "1"}}) {
        std::vector<std::string> args = line;
        args.insert(args.end(), {"--format", "json", "id"});
        const ToolRun run = RunTool(args);
        ASSERT_EQ(run.status, 0) << line[1] << ": " << run.err;
        EXPECT_EQ(run.Json()["serial_number"], sim::kDefaultSerialNumber);
    }
}

TEST(ServiceCommands, RepliesInJsonAndATypoStopsEverything) {
    const ToolRun run = RunTool({"--format", "json", "service", "save", "1", "analog-read", "0x10", "4"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto doc = run.Json();
    ASSERT_EQ(doc["commands"].size(), 2u);
    EXPECT_EQ(doc["commands"][0]["command"], "save");
    EXPECT_EQ(doc["commands"][0]["reply"], "acknowledgement");
    EXPECT_EQ(doc["commands"][0]["bytes"], nlohmann::ordered_json::array({0x06}));
    EXPECT_EQ(doc["commands"][1]["arguments"], nlohmann::ordered_json::array({16, 4}));
    EXPECT_EQ(doc["commands"][1]["bytes"].size(), 4u);

    const ToolRun typo = RunTool({"service", "save", "1", "analog-red", "0", "4"});
    EXPECT_EQ(typo.status, kBadArgument);
    EXPECT_TRUE(typo.out.empty()) << typo.out;
}

}  // namespace
}  // namespace q31::test
