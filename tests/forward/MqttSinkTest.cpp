// The MQTT sink against a mosquitto broker the test starts: what a consumer
// receives, the meter's retained state, a broker that goes away and comes
// back, logging in with a password file, TLS.
#include "tools/q31/forward/MqttSink.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/forward/MosquittoServer.h"
#include "tests/forward/MosquittoSubscriber.h"
#include "tests/forward/ServerRules.h"

namespace q31::tool::forward {
namespace {

using test::MosquittoAccess;
using test::MosquittoServer;
using test::MosquittoSubscriber;
using test::ReceivedMessage;

constexpr auto kStall = std::chrono::seconds(3);

// The generation of the gateway database the tests ship from.
#define GEN "0a1b2c3d4e5f6789"

JournalOrigin Origin(std::int64_t position) { return {GEN, position, 1000}; }

forward::MqttSinkSettings SettingsFor(int port) {
    forward::MqttSinkSettings settings;
    settings.enabled = true;
    settings.host = "127.0.0.1";
    settings.port = port;
    return settings;
}

JournalBatch Batch(JournalBatch::Kind kind, const std::string& meter, std::uint32_t serial, std::int64_t epoch) {
    JournalBatch b;
    b.kind = kind;
    b.meter = meter;
    b.serial = serial;
    b.epoch = epoch;
    return b;
}

JournalBatch Attempt(std::int64_t id, std::optional<std::uint32_t> found, std::int64_t started, std::int64_t ended,
                     const std::string& outcome, const std::string& message, int failures) {
    JournalBatch b = Batch(JournalBatch::Kind::Attempt, "hall-3", 310001, 0);
    b.attempt = {id, 310001, found, started, ended, outcome, message, 12, 1, failures, std::nullopt};
    return b;
}

JournalBatch Event() {
    JournalBatch b = Batch(JournalBatch::Kind::Event, "hall-3", 310001, 1);
    b.event = {4, "reset", "counters went back", 1767229200};
    return b;
}

// One batch of every kind, and a meter whose name MQTT would take for a level.
std::vector<JournalBatch> Journal() {
    std::vector<JournalBatch> j;
    j.push_back(Batch(JournalBatch::Kind::Archive, "hall-3", 310001, 0));
    // Two values in GJ, the older of them counted back beyond a pass; one
    // stored raw, before the collector kept times.
    j.back().archive = {"e_hour",
                        1,
                        100,
                        {5000, 5012, 5025},
                        std::make_pair(90u, 99u),
                        {{1767218400, true, 5.0, "GJ"}, {1767222000, false, 5.012, "GJ"}, {}}};
    j.push_back(Batch(JournalBatch::Kind::Snapshot, "hall-3", 310001, 0));
    j.back().snapshot = {"current", 1767225600, R"({"t":[21.5,20.25],"p":[1,2]})"};
    j.push_back(Batch(JournalBatch::Kind::Log, "hall-3", 310001, 0));
    j.back().log = {"error",
                    0,
                    3,
                    {{3, 0, {1, 2, 3, 4, 5, 6, 7, 8}}, {3, 1, {0xa0, 0xb0, 0xc0, 0xd0, 0xe0, 0xf0, 0x00, 0x10}}},
                    {}};
    j.push_back(Attempt(17, 310001, 1767225590, 1767225602, "ok", "", 0));
    j.push_back(Attempt(18, std::nullopt, 1767229190, 1767229193, "no answer", "no answer from the meter", 1));
    j.push_back(Event());
    j.push_back(Batch(JournalBatch::Kind::Log, "bus/7", 310002, 0));
    j.back().log = {"edit", 2, 0, {}, {4, 17, 0}};
    return j;
}

using Sent = std::vector<std::pair<std::string, std::string>>;

const Sent kJournalMessages = {
    {"q31/gw-north/hall-3/archive",
     R"({"id":"gw-north/)" GEN R"(/hall-3/310001/0/e_hour/1/100-102#HASH","gateway":"gw-north","generation":")" GEN
     R"(","meter":"hall-3","serial":310001,)"
     R"("epoch":0,"module":1,"series":"e_hour","records":{"first":100,"last":102},"values":[5000,5012,5025],)"
     R"("readings":[{"record":100,"closed_at":"2025-12-31T22:00:00Z","estimated":true,"value":5.0,"unit":"GJ",)"
     R"("is_raw":false,"raw":5000},{"record":101,"closed_at":"2025-12-31T23:00:00Z","estimated":false,)"
     R"("value":5.012,"unit":"GJ","is_raw":false,"raw":5012},{"record":102,"closed_at":null,"estimated":false,)"
     R"("value":5025,"unit":null,"is_raw":true,"raw":5025}],"gap":{"first":90,"last":99}})"},
    {"q31/gw-north/hall-3/snapshot",
     R"({"id":"gw-north/)" GEN R"(/hall-3/snapshot/current/1767225600#HASH","gateway":"gw-north","generation":")" GEN
     R"(","meter":"hall-3","serial":310001,)"
     R"("kind":"current","taken_at":1767225600,"data":{"t":[21.5,20.25],"p":[1,2]}})"},
    {"q31/gw-north/hall-3/log",
     R"({"id":"gw-north/)" GEN R"(/hall-3/310001/0/error/0/3/0-1#HASH","gateway":"gw-north","generation":")" GEN
     R"(","meter":"hall-3","serial":310001,)"
     R"("epoch":0,"log":"error","module":0,"block":3,"records":[{"block":3,"position":0,"data":"0102030405060708"},)"
     R"({"block":3,"position":1,"data":"a0b0c0d0e0f00010"}],"head":[]})"},
    {"q31/gw-north/hall-3/attempt",
     R"({"id":"gw-north/)" GEN R"(/hall-3/attempt/17#HASH","gateway":"gw-north","generation":")" GEN
     R"(","meter":"hall-3","serial":310001,)"
     R"("serial_found":310001,"started_at":1767225590,"ended_at":1767225602,"outcome":"ok","message":"",)"
     R"("packets":12,"resends":1,"failures":0})"},
    {"q31/gw-north/hall-3/state", R"({"last_read":1767225602,"outcome":"ok","failures":0,"at":1767225602})"},
    {"q31/gw-north/hall-3/attempt",
     R"({"id":"gw-north/)" GEN R"(/hall-3/attempt/18#HASH","gateway":"gw-north","generation":")" GEN
     R"(","meter":"hall-3","serial":310001,)"
     R"("serial_found":null,"started_at":1767229190,"ended_at":1767229193,"outcome":"no answer",)"
     R"("message":"no answer from the meter","packets":12,"resends":1,"failures":1})"},
    {"q31/gw-north/hall-3/state", R"({"last_read":1767225602,"outcome":"no answer","failures":1,"at":1767229193})"},
    {"q31/gw-north/hall-3/event",
     R"({"id":"gw-north/)" GEN R"(/hall-3/event/4#HASH","gateway":"gw-north","generation":")" GEN
     R"(","meter":"hall-3","serial":310001,"epoch":1,)"
     R"("event":"reset","detail":"counters went back","at":1767229200})"},
    {"q31/gw-north/bus_7/log",
     R"({"id":"gw-north/)" GEN R"(/bus/7/310002/0/edit/2/head#HASH","gateway":"gw-north","generation":")" GEN
     R"(","meter":"bus/7","serial":310002,)"
     R"("epoch":0,"log":"edit","module":2,"block":0,"records":[],"head":[4,17,0]})"},
};

// With the hash of each id as "HASH": the tests below say which ids must be
// alike and which must differ.
std::string WithoutHash(const std::string& payload) {
    static const std::regex hash("#[0-9a-f]{16}\"");
    return std::regex_replace(payload, hash, "#HASH\"");
}

Sent TopicsAndPayloads(const std::vector<ReceivedMessage>& received) {
    Sent s;
    for (const ReceivedMessage& m : received) s.emplace_back(m.topic, WithoutHash(m.payload));
    return s;
}

std::string ConnectError(MqttSink& sink) {
    try {
        sink.Connect(Origin(0));
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(connected)";
}

std::string ShipError(MqttSink& sink, const std::vector<JournalBatch>& batches) {
    try {
        sink.Ship(batches);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(shipped)";
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(MqttSink, ShipsOneMessagePerBatchWithItsIdAndKeepsTheStateRetained) {
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    MosquittoServer server;
    ASSERT_TRUE(server.Start()) << server.Log();
    MosquittoSubscriber all(server.Port(), "q31/+/+/+");
    ASSERT_TRUE(all.Subscribed());

    MqttSink sink(SettingsFor(server.Port()), "gw-north", kStall);
    EXPECT_EQ(sink.Connect(Origin(41)).position, 41);
    EXPECT_EQ(sink.Connect(Origin(41)).position, 41);  // already connected: nothing changes
    sink.Ship(Journal());
    // As the forwarder sends it again after a failure: the same ids, the same bytes.
    sink.Ship(Journal());
    const Sent got = TopicsAndPayloads(all.WaitFor(18));
    ASSERT_EQ(got.size(), 18u);
    EXPECT_EQ(Sent(got.begin(), got.begin() + 9), kJournalMessages);
    EXPECT_EQ(Sent(got.begin() + 9, got.end()), kJournalMessages);

    // A dashboard that subscribes later gets the meter's state at once.
    MosquittoSubscriber late(server.Port(), "q31/gw-north/+/state");
    const std::vector<ReceivedMessage> state = late.WaitFor(1);
    ASSERT_EQ(state.size(), 1u);
    EXPECT_EQ(state[0].topic, "q31/gw-north/hall-3/state");
    EXPECT_EQ(state[0].payload, R"({"last_read":1767225602,"outcome":"no answer","failures":1,"at":1767229193})");
    EXPECT_TRUE(state[0].retained);
    sink.Disconnect();
}

TEST(MqttSink, FailsWhileTheBrokerIsDownAndShipsAgainOnceItIsBack) {
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    MosquittoServer server;
    ASSERT_TRUE(server.Start()) << server.Log();
    const std::string where = "MQTT broker 127.0.0.1:" + std::to_string(server.Port()) + ": ";
    MqttSink sink(SettingsFor(server.Port()), "gw-north", kStall);
    ASSERT_EQ(sink.Connect(Origin(7)).position, 7);

    server.Stop();
    const std::string error = ShipError(sink, Journal());
    EXPECT_EQ(error.rfind(where + "the connection was lost", 0), 0u) << error;
    sink.Disconnect();
    EXPECT_EQ(ConnectError(sink), where + "cannot connect: Connection refused");

    ASSERT_TRUE(server.Start()) << server.Log();
    MosquittoSubscriber all(server.Port(), "q31/+/+/+");
    ASSERT_TRUE(all.Subscribed());
    EXPECT_EQ(sink.Connect(Origin(7)).position, 7);
    sink.Ship(Journal());
    const Sent got = TopicsAndPayloads(all.WaitFor(kJournalMessages.size()));
    for (const auto& message : kJournalMessages)
        EXPECT_NE(std::find(got.begin(), got.end(), message), got.end()) << message.second;
}

TEST(MqttSink, GivesUpOnABrokerThatStopsAnswering) {
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    MosquittoServer server;
    ASSERT_TRUE(server.Start()) << server.Log();
    MqttSink sink(SettingsFor(server.Port()), "gw-north", std::chrono::milliseconds(1000));
    sink.Connect(Origin(0));
    server.Pause();
    EXPECT_EQ(ShipError(sink, {Event()}), "MQTT broker 127.0.0.1:" + std::to_string(server.Port()) +
                                              ": no acknowledgement within 1000 ms; unacknowledged: 1");
    server.Resume();
}

TEST(MqttSink, LogsInWithItsPasswordFileAndNeverTellsAPassword) {
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    MosquittoAccess access;
    access.user = "gateway";
    access.password = "s3cret-Pw";
    MosquittoServer server(access);
    ASSERT_TRUE(server.Start()) << server.Log();
    WriteFile(server.Dir() + "/good.pw", "s3cret-Pw\n");
    WriteFile(server.Dir() + "/bad.pw", "wrong-Pw-77\n");
    MosquittoSubscriber all(server.Port(), "q31/+/+/+", access);
    ASSERT_TRUE(all.Subscribed());

    forward::MqttSinkSettings settings = SettingsFor(server.Port());
    settings.username = "gateway";
    settings.passwordFile = server.Dir() + "/good.pw";
    MqttSink sink(settings, "gw-north", kStall);
    sink.Connect(Origin(0));
    sink.Ship({Event()});
    EXPECT_EQ(TopicsAndPayloads(all.WaitFor(1)), Sent{kJournalMessages[7]});

    settings.passwordFile = server.Dir() + "/bad.pw";
    settings.clientId = "q31-intruder";
    MqttSink wrong(settings, "gw-north", kStall);
    EXPECT_EQ(ConnectError(wrong),
              "MQTT broker 127.0.0.1:" + std::to_string(server.Port()) + ": refused the connection: Not authorized");
}

TEST(MqttSink, SetsAsideWhatTheBrokerRefusesAndShipsTheRest) {
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    MosquittoAccess access;
    access.denyTopic = "q31/gw-north/bus_7/#";
    MosquittoServer server(access);
    ASSERT_TRUE(server.Start()) << server.Log();
    const std::string where = "MQTT broker 127.0.0.1:" + std::to_string(server.Port()) + ": ";
    MosquittoSubscriber all(server.Port(), "q31/+/+/+");
    ASSERT_TRUE(all.Subscribed());

    MqttSink sink(SettingsFor(server.Port()), "gw-north", kStall);
    sink.Connect(Origin(0));
    std::vector<JournalBatch> journal = Journal();
    for (std::size_t i = 0; i < journal.size(); ++i) journal[i].seq = static_cast<std::int64_t>(i) + 1;
    // A name whose topic MQTT does not take (a control character): the
    // client cannot send it at all.
    JournalBatch odd = Event();
    odd.meter = "hall-\x01";
    odd.seq = 30;
    journal.insert(journal.begin() + 2, odd);
    const std::vector<Rejection> rejected = sink.Ship(journal);
    ASSERT_EQ(rejected.size(), 2u);
    EXPECT_EQ(rejected[0].seq, 30);
    EXPECT_EQ(rejected[0].why, where + "cannot publish on q31/gw-north/hall-\x01/event: Malformed UTF-8");
    // The broker's "not authorized" (MQTT 5 tells it) for the meter whose topics it refuses.
    EXPECT_EQ(rejected[1].seq, 7);
    EXPECT_EQ(rejected[1].why, where + "refused a message on q31/gw-north/bus_7/log: Not authorized");
    // The rest arrived, in order.
    const Sent got = TopicsAndPayloads(all.WaitFor(kJournalMessages.size() - 1));
    EXPECT_EQ(got, Sent(kJournalMessages.begin(), kJournalMessages.end() - 1));
    sink.Disconnect();
}

std::string IdOf(MqttSink& sink, const JournalBatch& b) {
    const std::string payload = sink.Messages(b).front().payload;
    const auto at = payload.find("\"id\":\"") + 6;
    return payload.substr(at, payload.find('"', at) - at);
}

TEST(MqttSink, AnIdNamesExactlyWhatItsMessageCarries) {
    MqttSink sink(SettingsFor(1883), "gw-north");
    sink.SetGeneration(GEN);
    JournalBatch block = Journal()[2];
    const std::string id = IdOf(sink, block);
    // Read again: the same content under the same id, with the same bytes.
    EXPECT_EQ(IdOf(sink, block), id);
    EXPECT_EQ(sink.Messages(block).front().payload, sink.Messages(Journal()[2]).front().payload);
    // The meter wrote position 1 anew before the block was read again: the
    // same positions, other records, another id.
    JournalBatch rewritten = block;
    rewritten.log.records.push_back({3, 1, {9, 9, 9, 9, 9, 9, 9, 9}});
    EXPECT_NE(IdOf(sink, rewritten), id);
    // More records of the block: another id.
    JournalBatch grown = block;
    grown.log.records.push_back({3, 2, {7, 7, 7, 7, 7, 7, 7, 7}});
    EXPECT_NE(IdOf(sink, grown), id);
    // A head with other words, an archive batch with other values: other ids.
    JournalBatch head = Journal()[6];
    const std::string headId = IdOf(sink, head);
    head.log.head = {5, 17, 0};
    EXPECT_NE(IdOf(sink, head), headId);
    JournalBatch values = Journal()[0];
    const std::string valuesId = IdOf(sink, values);
    // The hash is FNV-1a of what follows the id, as docs/forwarding.md shows it.
    EXPECT_EQ(valuesId, "gw-north/" GEN "/hall-3/310001/0/e_hour/1/100-102#0b64940ea130b8d1");
    values.archive.values[1] = 5013;
    EXPECT_NE(IdOf(sink, values), valuesId);
    // The same batch of another database of the gateway: another id.
    sink.SetGeneration("ffffeeeeddddcccc");
    EXPECT_NE(IdOf(sink, block), id);
    EXPECT_EQ(IdOf(sink, block).rfind("gw-north/ffffeeeeddddcccc/hall-3/310001/0/error/0/3/0-1#", 0), 0u);
}

// A CA of the test's own; with `server`, also a certificate for 127.0.0.1 that it signed.
bool MakeCertificates(const std::string& dir, const std::string& ca, bool server) {
    const std::string openssl = "/usr/bin/openssl";
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    std::vector<std::string> args = {"req", "-x509"};
    args.insert(args.end(), ec.begin(), ec.end());
    args.insert(args.end(), {"-keyout", dir + "/" + ca + ".key", "-out", dir + "/" + ca + ".crt", "-days", "2", "-subj",
                             "/CN=q31 test " + ca});
    if (!test::RunProgram(openssl, args, dir)) return false;
    if (!server) return true;
    args = {"req"};
    args.insert(args.end(), ec.begin(), ec.end());
    args.insert(args.end(), {"-keyout", dir + "/server.key", "-out", dir + "/server.csr", "-subj", "/CN=localhost"});
    if (!test::RunProgram(openssl, args, dir)) return false;
    WriteFile(dir + "/san.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    return test::RunProgram(
        openssl,
        {"x509", "-req", "-in", dir + "/server.csr", "-CA", dir + "/" + ca + ".crt", "-CAkey", dir + "/" + ca + ".key",
         "-CAcreateserial", "-out", dir + "/server.crt", "-days", "2", "-extfile", dir + "/san.cnf"},
        dir);
}

TEST(MqttSink, SpeaksTlsWithTheBrokerItsCaVouchesFor) {
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "openssl missing";
    const std::string dir = test::MakeScratchDir("q31-mqtt-tls");
    const std::unique_ptr<const std::string, void (*)(const std::string*)> removeDir(
        &dir, [](const std::string* d) { std::filesystem::remove_all(*d); });
    ASSERT_TRUE(MakeCertificates(dir, "ca", true));
    ASSERT_TRUE(MakeCertificates(dir, "other", false));
    MosquittoAccess access;
    access.caFile = dir + "/ca.crt";
    access.certFile = dir + "/server.crt";
    access.keyFile = dir + "/server.key";
    MosquittoServer server(access);
    ASSERT_TRUE(server.Start()) << server.Log();
    MosquittoSubscriber all(server.Port(), "q31/+/+/+", access);
    ASSERT_TRUE(all.Subscribed());

    forward::MqttSinkSettings settings = SettingsFor(server.Port());
    settings.caFile = dir + "/ca.crt";
    MqttSink sink(settings, "gw-north", kStall);
    sink.Connect(Origin(0));
    sink.Ship({Event()});
    EXPECT_EQ(TopicsAndPayloads(all.WaitFor(1)), Sent{kJournalMessages[7]});

    settings.caFile = dir + "/other.crt";
    settings.clientId = "q31-doubter";
    MqttSink doubter(settings, "gw-north", kStall);
    const std::string error = ConnectError(doubter);
    EXPECT_NE(error.find("certificate verify failed"), std::string::npos) << error;
}

}  // namespace
}  // namespace q31::tool::forward
