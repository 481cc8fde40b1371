#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "sim/SimOptions.h"

namespace q31::sim {
namespace {

bool Parse(std::vector<const char*> args, SimOptions& out, std::string& error) {
    args.insert(args.begin(), "q31-sim");
    return ParseSimOptions(static_cast<int>(args.size()), args.data(), out, error);
}

TEST(SimOptions, ReadsEveryOption) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--seed", "0x10", "--serial", "4000000000", "--version-word", "0x0101", "--address", "7",
                       "--echo", "--delay-ms", "20", "--fault-rate", "silence:0.1", "--fault-rate", "short:0.5:3",
                       "--fault-rate", "delay:1", "--seconds", "3"},
                      o, error))
        << error;
    EXPECT_EQ(o.meter.seed, 16u);
    EXPECT_EQ(o.meter.serialNumber, 4000000000u);
    EXPECT_EQ(o.meter.versionWord, 0x0101);
    EXPECT_EQ(o.meter.address, 7);
    EXPECT_TRUE(o.line.echo);
    EXPECT_EQ(o.line.replyDelayMs, 20);
    ASSERT_EQ(o.faultRates.size(), 3u);
    EXPECT_EQ(o.faultRates[0].kind, FaultKind::Silence);
    EXPECT_DOUBLE_EQ(o.faultRates[0].probability, 0.1);
    EXPECT_EQ(o.faultRates[1].param, 3);
    EXPECT_EQ(o.faultRates[2].param, 1000);  // a delay fault always delays
    EXPECT_EQ(o.seconds, 3);
}

TEST(SimOptions, RemoteLinesListenOrDialAndADialNeedsItsRegistration) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--listen", "127.0.0.1:0", "--listen", ":4001", "--fault-rate", "drop:0.5:3"}, o, error))
        << error;
    EXPECT_EQ(o.listen, (std::vector<std::string>{"127.0.0.1:0", ":4001"}));
    EXPECT_EQ(o.faultRates[0].kind, FaultKind::Drop);
    SimOptions modem;
    ASSERT_TRUE(Parse({"--dial", "h:9", "--register", "86", "--heartbeat", "HB", "--every", "0.25"}, modem, error));
    EXPECT_EQ(modem.heartbeatEveryMs, 250);
    for (const auto& [args, message] : std::vector<std::pair<std::vector<const char*>, std::string>>{
             {{"--dial", "h:9"}, "--dial needs --register ID"},
             {{"--register", "86"}, "--register and --heartbeat need --dial"},
             {{"--dial", "h:9", "--register", "86", "--listen", ":1"}, "--dial and --listen exclude each other"},
             {{"--every", "0"}, "bad value for --every: 0 (seconds, 0.01 to 86400)"}}) {
        SimOptions bad;
        EXPECT_FALSE(Parse(args, bad, error));
        EXPECT_EQ(error, message);
    }
}

TEST(SimOptions, UnpacedUnlessABaudIsGiven) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--echo"}, o, error)) << error;
    EXPECT_FALSE(o.line.wire.Paced());
}

TEST(SimOptions, ReadsTheLinePace) {
    SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--stop-bits", "2", "--baud", "9600", "--parity", "even"}, o, error)) << error;
    ASSERT_TRUE(o.line.wire.Paced());
    EXPECT_EQ(o.line.wire.Baud(), 9600u);
    EXPECT_EQ(o.line.wire.ParityMode(), Parity::Even);
    EXPECT_EQ(o.line.wire.StopBits(), 2u);
    EXPECT_EQ(o.line.wire.BitsPerByte(), 12u);

    SimOptions plain;
    ASSERT_TRUE(Parse({"--baud", "1200"}, plain, error)) << error;
    EXPECT_EQ(plain.line.wire.Baud(), 1200u);
    EXPECT_EQ(plain.line.wire.ParityMode(), Parity::None);
    EXPECT_EQ(plain.line.wire.StopBits(), 1u);

    SimOptions odd;
    ASSERT_TRUE(Parse({"--baud", "4800", "--parity", "odd", "--stop-bits", "1"}, odd, error)) << error;
    EXPECT_EQ(odd.line.wire.ParityMode(), Parity::Odd);
    EXPECT_EQ(odd.line.wire.BitsPerByte(), 11u);
}

TEST(SimOptions, RejectsBadArguments) {
    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"--address", "0"},
                                                                              {"--address", "255"},
                                                                              {"--version-word", "0x10000"},
                                                                              {"--serial", "-1"},
                                                                              {"--seed"},
                                                                              {"--fault-rate", "silence"},
                                                                              {"--fault-rate", "fire:0.1"},
                                                                              {"--fault-rate", "corrupt:1.5"},
                                                                              {"--seconds", "3x"},
                                                                              {"--bogus"},
                                                                              {"--baud", "0"},
                                                                              {"--baud", "fast"},
                                                                              {"--baud"},
                                                                              {"--baud", "9600", "--parity", "mark"},
                                                                              {"--baud", "9600", "--stop-bits", "0"},
                                                                              {"--baud", "9600", "--stop-bits", "3"},
                                                                              {"--parity", "even"},
                                                                              {"--stop-bits", "2"}}) {
        SimOptions o;
        std::string error;
        EXPECT_FALSE(Parse(bad, o, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(SimOptions, BusFromTheCommandLineAndAFile) {
    const std::string path = ::testing::TempDir() + "q31_bus.toml";
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(
            "clock_rate = 60\necho = true\n"
            "[[meter]]\naddress = 5\nserial = 500\nseed = 9\nfaults = [\"silence:0.5\"]\n"
            "[[reset]]\nat = 7200\naddress = 5\nhour_count = 48\n",
            f);
        std::fclose(f);
    }
    SimOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--bus", path.c_str(), "--meter", "7:700", "--swap", "3600:7:701", "--write-during-reads", "3",
                       "--hour-count", "100"},
                      o, error))
        << error;
    BusPlan plan;
    bool lineEcho = false;
    ASSERT_TRUE(MakeBusPlan(o, plan, lineEcho, error)) << error;
    EXPECT_TRUE(lineEcho);
    EXPECT_DOUBLE_EQ(plan.clockRate, 60);
    EXPECT_EQ(plan.writeDuringReads, 3);
    ASSERT_EQ(plan.meters.size(), 2u);
    EXPECT_EQ(plan.meters[0].meter.address, 5);
    EXPECT_EQ(plan.meters[0].meter.seed, 9u);
    EXPECT_EQ(plan.meters[0].meter.hourCount, 100u);
    ASSERT_EQ(plan.meters[0].faults.size(), 1u);
    EXPECT_EQ(plan.meters[1].meter.serialNumber, 700u);
    EXPECT_EQ(plan.meters[1].meter.seed, 38u);  // 31 + address 7
    ASSERT_EQ(plan.events.size(), 2u);
    EXPECT_EQ(plan.events[0].dayCount, 2u);  // 48 hours make 2 days
    EXPECT_EQ(plan.events[1].serial, 701u);
    EXPECT_FALSE(Parse({"--meter", "0:1"}, o, error));
    EXPECT_FALSE(Parse({"--reset", "1:2"}, o, error));
}

}  // namespace
}  // namespace q31::sim
