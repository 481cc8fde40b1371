// Lines over the network: modems that call the collector (the registration,
// heartbeats taken out of the stream, the real program against q31-sim
// calling in as a modem), and serial servers, one of them dead.
#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/FreePort.h"
#include "support/TcpSocket.h"
#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"
#include "tools/q31/collect/HeartbeatFilter.h"
#include "tools/q31/collect/ModemHub.h"
#include "tools/q31/collect/ModemRegistration.h"

namespace q31::test {
namespace {

using tool::collect::HeartbeatFilter;
using tool::collect::ModemRegistration;
using tool::collect::ModemSettings;
using State = ModemRegistration::State;
using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(ModemRegistration, ALineAFixedLengthOrATerminatorEndsItAndWhatFollowsIsTheLines) {
    ModemRegistration line{ModemSettings{}};
    EXPECT_EQ(line.Feed(B("8612")), State::Incomplete);
    EXPECT_EQ(line.Feed(B("34\r\n\x01\xFF")), State::Registered);
    EXPECT_EQ(line.Id(), "861234");
    EXPECT_EQ(line.Rest(), (Bytes{0x01, 0xFF}));

    ModemSettings fixed;
    fixed.idLength = 4;
    ModemRegistration four{fixed};
    EXPECT_EQ(four.Feed(B("AB\nDxy")), State::Registered);
    EXPECT_EQ(four.Id(), "AB\nD");
    EXPECT_EQ(four.Rest(), B("xy"));

    ModemSettings ended;
    ended.idEnd = "#;";
    ModemRegistration hash{ended};
    EXPECT_EQ(hash.Feed(B("id#")), State::Incomplete);
    EXPECT_EQ(hash.Feed(B(";")), State::Registered);
    EXPECT_EQ(hash.Id(), "id");
    EXPECT_TRUE(hash.Rest().empty());
}

TEST(ModemRegistration, EndlessOrEmptyRegistrationsAreRefused) {
    ModemRegistration endless{ModemSettings{}};
    EXPECT_EQ(endless.Feed(B(std::string(64, 'x'))), State::Incomplete);
    EXPECT_EQ(endless.Feed(B("x")), State::Refused);
    EXPECT_EQ(endless.Feed(B("\n")), State::Refused);
    ModemRegistration empty{ModemSettings{}};
    EXPECT_EQ(empty.Feed(B("\r\nrest")), State::Refused);
}

TEST(HeartbeatFilter, HeartbeatsGoWhereverTheyFallAndEverythingElsePasses) {
    HeartbeatFilter f({"PING", "HB"});
    Bytes out;
    f.Feed(B("aPINGb"), out);
    f.Feed(B("PI"), out);
    EXPECT_EQ(out, B("ab"));  // "PI" may start a heartbeat: held
    f.Feed(B("NGc"), out);
    f.Feed(Bytes{0xFF, 'P', 'I', 'X', 'H', 'B', 0xFF}, out);
    EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 0xFF, 'P', 'I', 'X', 0xFF}));
    f.Feed(B("xPIN"), out);
    f.Flush(out);
    EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 0xFF, 'P', 'I', 'X', 0xFF, 'x', 'P', 'I', 'N'}));
    EXPECT_EQ(f.Count(), 3);
}

// Everything `socket` sends within 2 s, up to `n` bytes.
Bytes Take(int socket, std::size_t n) {
    Bytes out;
    std::uint8_t chunk[64];
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
         out.size() < n && std::chrono::steady_clock::now() < end;) {
        const int got = SocketReadSome(socket, chunk, std::min(sizeof chunk, n - out.size()));
        if (got < 0) break;
        out.insert(out.end(), chunk, chunk + got);
        if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return out;
}

std::string Config(const std::string& dir, int port, const std::string& modemsExtra, const std::string& meters) {
    const std::string path = dir + "/modems.toml";
    std::ofstream(path) << "[collect]\nretry_base_ms = 100\nretry_max_ms = 400\n\n[modems]\nlisten = \"127.0.0.1:"
                        << port << "\"\nheartbeats = [\"PING\"]\n"
                        << modemsExtra << "\n[defaults]\ntimeout_ms = 300\nlogs = false\ncurrent_every_min = 0\n"
                        << meters;
    return path;
}

std::string Meter(const std::string& name, const std::string& modem, int address, int serial) {
    return "\n[[meter]]\nname = \"" + name + "\"\nport = \"modem:" + modem +
           "\"\naddress = " + std::to_string(address) + "\nserial = " + std::to_string(serial) + "\n";
}

// Polls until `done` or 20 s passed.
template <typename F>
bool Until(F done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int Dial(int port) {
    int s = -1;
    Until([&] { return (s = TcpConnect("127.0.0.1", port, 1000)) >= 0; });
    return s;
}

void Send(int socket, const std::string& text) {
    ASSERT_TRUE(SocketWriteAll(socket, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 1000));
}

// The far end hung up on `socket`.
bool HungUp(int socket) {
    std::uint8_t scratch[64];
    return Until([&] { return SocketReadSome(socket, scratch, sizeof scratch) < 0; });
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(ModemHub, RelaysBothWaysWithoutHeartbeatsAndANewCallTakesTheLineFromTheOld) {
    ModemSettings settings;
    settings.listen = "127.0.0.1:0";
    settings.heartbeats = {"PING"};
    tool::collect::ModemHub hub(settings);
    ASSERT_TRUE(hub.Expect({"77"}));
    std::string error;
    ASSERT_TRUE(hub.Start(&error)) << error;
    const int session = static_cast<int>(hub.Handle("77"));
    EXPECT_FALSE(hub.Connected("77"));

    const int first = Dial(hub.Port());
    Send(first, "77\nA\xFF");
    EXPECT_TRUE(Until([&] { return hub.Connected("77"); }));
    Send(first, "PINGB");
    EXPECT_EQ(Take(session, 3), (Bytes{'A', 0xFF, 'B'}));
    Send(session, "\x01\x02");
    EXPECT_EQ(Take(first, 2), (Bytes{0x01, 0x02}));

    const int second = Dial(hub.Port());
    Send(second, "77\r\nC");
    EXPECT_EQ(Take(session, 1), B("C"));
    EXPECT_TRUE(HungUp(first));
    Send(session, "\x03");
    EXPECT_EQ(Take(second, 1), Bytes{0x03});
    SocketClose(second);
    EXPECT_TRUE(Until([&] { return !hub.Connected("77"); }));
    std::string told;
    for (const auto& [level, text] : hub.TakeNews()) told += text + "\n";
    EXPECT_EQ(told,
              "modem 77 called in\nmodem 77 called again: its new call replaces the old one\n"
              "modem 77 hung up: waiting for it to call again\n");
    SocketClose(first);
}

TEST(CollectModem, ABusBehindAModemIsReadWholeThroughHeartbeatsDroppedCallsAndACallThatReplacesAnother) {
    const std::string dir = MakeTempDir("q31-collect-modem");
    const std::string db = dir + "/q31.sqlite";
    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::string config =
        Config(dir, port, "", Meter("north", "860001", 201, 310001) + Meter("south", "860001", 202, 310002));
    CollectChild collect({"collect", "--config", config, "--once", "--db", db}, dir);
    // A call the modem lost track of: its new call must take the line over.
    const int stale = Dial(port);
    ASSERT_GE(stale, 0);
    Send(stale, "860001\r\n");
    ASSERT_TRUE(Until([&] { return collect.Err().find("modem 860001 called in") != std::string::npos; }))
        << collect.Err();
    ChildProcess modem;
    ASSERT_TRUE(modem.Start(Q31_SIM_PROGRAM, {"--dial",       "127.0.0.1:" + std::to_string(port),
                                              "--register",   "860001",
                                              "--heartbeat",  "PING",
                                              "--every",      "0.02",
                                              "--meter",      "201:310001",
                                              "--meter",      "202:310002",
                                              "--modules",    "1",
                                              "--hour-count", "40",
                                              "--day-count",  "3",
                                              "--fault-rate", "drop:0.05"}));
    EXPECT_TRUE(HungUp(stale));
    SocketClose(stale);
    ASSERT_TRUE(collect.Wait(std::chrono::seconds(90)));
    EXPECT_EQ(collect.ExitStatus(), 0) << collect.Err();
    EXPECT_NE(collect.Err().find("modem 860001 called again: its new call replaces the old one"), std::string::npos)
        << collect.Err();
    // The drops happened, and the modem's next calls carried the rest.
    EXPECT_GE(Occurrences(collect.Err(), "modem 860001 hung up"), 1u) << collect.Err();
    const std::vector<SimMeterFacts> meters = {{"north", 1, 40, 3}, {"south", 1, 40, 3}};
    CheckOptions options;
    options.logs = false;
    const std::vector<std::string> faults = CheckDatabase(db, meters, options);
    EXPECT_TRUE(faults.empty()) << faults.front();
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values"), 2 * (40 + 3) * 6);
}

TEST(CollectModem, StrangersAreToldOnceSilentCallersDroppedAndAModemThatNeverCallsFailsOnlyAfterTheWait) {
    const std::string dir = MakeTempDir("q31-collect-stranger");
    const int port = FreeLoopbackPort();
    ASSERT_GT(port, 0);
    const std::string config =
        Config(dir, port, "register_timeout_s = 1\nonce_wait_s = 2\n", Meter("east", "860002", 201, 310001));
    CollectChild collect({"collect", "--config", config, "--once", "--db", dir + "/q31.sqlite"}, dir);
    for (int call = 0; call < 2; ++call) {
        const int stranger = Dial(port);
        Send(stranger, "999999\n");
        EXPECT_TRUE(HungUp(stranger));
        SocketClose(stranger);
    }
    const int silent = Dial(port);
    EXPECT_TRUE(HungUp(silent));
    SocketClose(silent);
    ASSERT_TRUE(collect.Wait(std::chrono::seconds(60)));
    EXPECT_EQ(collect.ExitStatus(), 3) << collect.Err();
    const std::string err = collect.Err();
    EXPECT_EQ(Occurrences(err, "modem 999999 called in, but no meter is on modem:999999"), 1u) << err;
    EXPECT_EQ(Occurrences(err, "a caller sent no registration in 1 s"), 1u) << err;
    EXPECT_EQ(Occurrences(err, "modem:860002: waiting for its modem to call in"), 1u) << err;
    // The summary names the meter's failure.
    EXPECT_NE(collect.Out().find("modem 860002 has not called in"), std::string::npos) << collect.Out();
}

// A server that takes the connection and never answers the telnet opening
// holds its line's opening to the time-out (5 s); the other channel is read
// meanwhile.
TEST(CollectChannels, ATcpChannelIsReadWholeWhileADeadServerHoldsItsOwnOpeningBesideIt) {
    const std::string dir = MakeTempDir("q31-collect-channels");
    const std::string db = dir + "/q31.sqlite";
    std::string error;
    const int dead = TcpListen("127.0.0.1", 0, &error);
    ASSERT_GE(dead, 0) << error;
    ChildProcess server;
    ASSERT_TRUE(
        server.Start(Q31_SIM_PROGRAM, {"--listen", "127.0.0.1:0", "--meter", "201:310001", "--meter", "202:310002",
                                       "--modules", "1", "--hour-count", "30", "--day-count", "2"}));
    const std::string url = server.FirstLine(10000);
    ASSERT_EQ(url.rfind("tcp://127.0.0.1:", 0), 0u) << url;
    const std::string config = dir + "/channels.toml";
    std::ofstream(config) << "[collect]\nretries = 0\n\n[defaults]\ntimeout_ms = 300\nlogs = false\n"
                             "current_every_min = 0\n"
                          << "\n[[meter]]\nname = \"dead\"\nport = \"rfc2217://127.0.0.1:" << TcpLocalPort(dead)
                          << "\"\nserial = 1\n"
                          << "\n[[meter]]\nname = \"north\"\nport = \"" << url << "\"\naddress = 201\nserial = 310001\n"
                          << "\n[[meter]]\nname = \"south\"\nport = \"" << url
                          << "\"\naddress = 202\nserial = 310002\n";
    const CollectRun run = RunCollect({"collect", "--config", config, "--once", "--db", db}, dir);
    SocketClose(dead);
    EXPECT_EQ(run.status, 3) << run.err;
    CheckOptions options;
    options.logs = false;
    const std::vector<std::string> faults = CheckDatabase(db, {{"north", 1, 30, 2}, {"south", 1, 30, 2}}, options);
    EXPECT_TRUE(faults.empty()) << faults.front();
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM archive_values"), 2 * (30 + 2) * 6);
    // Both meters of the good channel were read seconds before the dead one's opening gave up.
    EXPECT_GE(QueryNumber(db,
                          "SELECT (SELECT max(ended_at) FROM attempts WHERE meter = 'dead') - "
                          "(SELECT max(ended_at) FROM attempts WHERE meter <> 'dead')"),
              3)
        << run.err;
}

}  // namespace
}  // namespace q31::test
