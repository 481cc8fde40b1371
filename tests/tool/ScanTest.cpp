// q31 scan against a virtual meter at an address of its own, a port another
// program holds, and modules the meter does not have.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/ChildProcess.h"
#include "support/FreePort.h"
#include "support/HostPort.h"
#include "tests/e2e/Ser2netServer.h"
#include "tests/forward/ServerRules.h"
#include "tests/tool/ToolRun.h"

namespace q31::test {
namespace {

constexpr int kBadArgument = 2;
constexpr int kPortOpen = 3;
constexpr int kNoAnswer = 4;

class Meter {
public:
    explicit Meter(const std::vector<std::string>& args) {
        if (child_.Start(Q31_SIM_PROGRAM, args)) path_ = child_.FirstLine(10000);
    }
    ~Meter() { child_.Stop(); }
    const std::string& Path() const { return path_; }

private:
    ChildProcess child_;
    std::string path_;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Identification packets written to `address` (as its hex byte), per the trace.
int IdentificationsTo(const ToolRun& run, const std::string& address) {
    int n = 0;
    for (const std::string& line : Lines(run.err)) n += Contains(line, " ->  ") && Contains(line, address + " 01 0F");
    return n;
}

TEST(Scan, FindsTheMeterAtItsAddressAndNoneElsewhere) {
    Meter meter({"--address", "57", "--serial", "570001"});
    ASSERT_FALSE(meter.Path().empty());
    const ToolRun run = RunTool(
        {"--port", meter.Path(), "--format", "json", "scan", "--from", "55", "--to", "59", "--scan-timeout", "100"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto meters = run.Json()["meters"];
    ASSERT_EQ(meters.size(), 1u) << run.out;
    EXPECT_EQ(meters[0]["address"], 57);
    EXPECT_EQ(meters[0]["serial_number"], 570001);
    EXPECT_EQ(meters[0]["device_type"], 5120);
    EXPECT_EQ(meters[0]["device_type_text"], "Тепловодосчетчик Q31М V2.X");
    EXPECT_EQ(meters[0]["version_word"], 0x00F0);

    const ToolRun csv = RunTool({"--port", meter.Path(), "--format", "csv", "scan", "--addresses", "57"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.OutLines(),
              (std::vector<std::string>{"address,serial_number,device_type,device_type_text,version_word",
                                        "57,570001,5120,Тепловодосчетчик Q31М V2.X,240"}));

    const ToolRun none =
        RunTool({"--port", meter.Path(), "--format", "json", "scan", "--addresses", "60-62", "--scan-timeout", "50"});
    EXPECT_EQ(none.status, kNoAnswer) << none.err;
    EXPECT_TRUE(none.Json()["meters"].empty());
    EXPECT_TRUE(Contains(none.err, "no meter answered at addresses 60 to 62")) << none.err;
}

TEST(Scan, AnAnswerLaterThanTheScanTimeOutIsNotTakenForALaterAddress) {
    // The meter at 57 answers 300 ms (700 ms) after each packet, so its
    // answer to the scan comes while address 58 (60) is being waited for.
    for (const char* delay : {"300", "700"}) {
        Meter meter({"--address", "57", "--serial", "570001", "--delay-ms", delay});
        ASSERT_FALSE(meter.Path().empty());
        const ToolRun run = RunTool({"--port", meter.Path(), "--format", "json", "--trace", "--timeout", "1000", "scan",
                                     "--from", "55", "--to", "60", "--scan-timeout", "200"});
        ASSERT_EQ(run.status, 0) << delay << ": " << run.err;
        const auto meters = run.Json()["meters"];
        ASSERT_EQ(meters.size(), 1u) << delay << ": " << run.out;
        EXPECT_EQ(meters[0]["address"], 57);
        EXPECT_EQ(meters[0]["serial_number"], 570001);
        // The address the answer landed at was asked again, and stayed silent.
        EXPECT_GE(IdentificationsTo(run, "3A") + IdentificationsTo(run, "3B") + IdentificationsTo(run, "3C"), 4)
            << run.err;
    }
}

TEST(Scan, FindsExactlyTheMetersOnABusWithOneSlowMeter) {
    // Four meters on one line; the one at 6 answers 300 ms late, so its quick
    // answer lands while 7 or 8 is waited for.
    const auto bus = std::filesystem::temp_directory_path() / ("q31-scan-bus-" + std::to_string(::getpid()) + ".toml");
    std::ofstream(bus) << "[[meter]]\naddress = 5\nserial = 500005\n"
                          "[[meter]]\naddress = 6\nserial = 600006\nfaults = [\"delay:1.0:300\"]\n"
                          "[[meter]]\naddress = 8\nserial = 800008\n"
                          "[[meter]]\naddress = 12\nserial = 120012\n";
    Meter meter({"--bus", bus.string()});
    ASSERT_FALSE(meter.Path().empty());
    const ToolRun run = RunTool({"--port", meter.Path(), "--format", "csv", "--timeout", "1000", "scan", "--from", "1",
                                 "--to", "14", "--scan-timeout", "100"});
    std::filesystem::remove(bus);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.OutLines(),
              (std::vector<std::string>{
                  "address,serial_number,device_type,device_type_text,version_word",
                  "5,500005,5120,Тепловодосчетчик Q31М V2.X,240", "6,600006,5120,Тепловодосчетчик Q31М V2.X,240",
                  "8,800008,5120,Тепловодосчетчик Q31М V2.X,240", "12,120012,5120,Тепловодосчетчик Q31М V2.X,240"}));
}

TEST(Scan, BadRangesAreRefused) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"scan", "--addresses", "5-3"}, {"scan", "--addresses", "0-9"}, {"scan", "--from", "239"}}) {
        std::vector<std::string> withPort = args;
        withPort.insert(withPort.begin(), {"--port", "/dev/no-such-q31-port"});
        EXPECT_EQ(RunTool(withPort).status, kBadArgument) << args.back();
    }
}

TEST(ExitStatus, APortInUseIsReportedAsBusy) {
    Meter meter({});
    ASSERT_FALSE(meter.Path().empty());
    const PortHandle held = OpenHostPort(meter.Path().c_str(), 9600);
    ASSERT_TRUE(PortUsable(held));
    const ToolRun busy = RunTool({"--port", meter.Path(), "id"});
    EXPECT_EQ(busy.status, kPortOpen) << busy.err;
    EXPECT_TRUE(Contains(busy.err, "in use by another program")) << busy.err;
    CloseHostPort(held);
    EXPECT_EQ(RunTool({"--port", meter.Path(), "id"}).status, 0);
}

TEST(ExitStatus, AModuleBeyondTheMetersCountIsABadArgument) {
    Meter meter({"--modules", "2"});
    ASSERT_FALSE(meter.Path().empty());
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"series", "t_hour", "5"}, {"dump", "--modules", "1,3"}, {"module", "3"}}) {
        std::vector<std::string> withPort = args;
        withPort.insert(withPort.begin(), {"--port", meter.Path()});
        const ToolRun run = RunTool(withPort);
        EXPECT_EQ(run.status, kBadArgument) << args[0] << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, "the meter reports 2 modules")) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_EQ(RunTool({"--port", meter.Path(), "module", "2"}).status, 0);
}

TEST(Scan, FindsTheMeterThroughASerialServerRawAndRfc2217) {
    Q31_NEED_SERVER(Ser2netServer::Available(), "ser2net");
    Meter meter({"--address", "57", "--serial", "570001"});
    ASSERT_FALSE(meter.Path().empty());
    Ser2netServer server(meter.Path());
    ASSERT_TRUE(server.Start());
    for (const std::string& url : {server.RawUrl(), server.TelnetUrl()}) {
        ToolRun run;
        // ser2net turns a client away while it still holds the device for the last one.
        for (int tries = 0; tries < 20 && (tries == 0 || run.status == kPortOpen); ++tries)
            run = RunTool({"--port", url, "--format", "csv", "scan", "--addresses", "56-58", "--scan-timeout", "300"});
        ASSERT_EQ(run.status, 0) << url << ": " << run.err;
        EXPECT_EQ(run.OutLines(),
                  (std::vector<std::string>{"address,serial_number,device_type,device_type_text,version_word",
                                            "57,570001,5120,Тепловодосчетчик Q31М V2.X,240"}))
            << url;
    }
}

TEST(Scan, ANetworkPortThatIsNotThereOrNoUrlSaysSo) {
    const std::string closed = "tcp://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const ToolRun refused = RunTool({"--port", closed, "scan", "--addresses", "57"});
    EXPECT_EQ(refused.status, kPortOpen);
    EXPECT_TRUE(Contains(refused.err, "cannot open " + closed + ": cannot connect to 127.0.0.1:")) << refused.err;
    EXPECT_TRUE(Contains(refused.err, "Connection refused")) << refused.err;
    const ToolRun unknown = RunTool({"--port", "telnet://127.0.0.1:23", "id"});
    EXPECT_EQ(unknown.status, kBadArgument);
    EXPECT_TRUE(Contains(unknown.err, "not a port: telnet://127.0.0.1:23")) << unknown.err;
}

}  // namespace
}  // namespace q31::test
