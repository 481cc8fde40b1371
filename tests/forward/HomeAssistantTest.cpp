// Home Assistant's discovery from the MQTT sink, against a mosquitto broker
// the test starts: each entity's config as Home Assistant reads it, states
// that never show a register going down, the announcement again when Home
// Assistant comes back, and the gateway's availability with its last will.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "tests/forward/MosquittoServer.h"
#include "tests/forward/MosquittoSubscriber.h"
#include "tests/forward/ServerRules.h"
#include "tools/q31/forward/MqttSink.h"

namespace q31::tool::forward {
namespace {

using Json = nlohmann::json;
using test::MosquittoServer;
using test::MosquittoSubscriber;
using test::ReceivedMessage;

// hall-3's hourly energy (GJ) or temperature (°C) at records first, first + 1, ...
JournalBatch Hourly(const std::string& series, std::uint32_t first, const std::vector<double>& quantities,
                    const std::string& unit) {
    JournalBatch b;
    b.kind = JournalBatch::Kind::Archive;
    b.meter = "hall-3";
    b.serial = 310001;
    b.archive.series = series;
    b.archive.module = 1;
    b.archive.first = first;
    for (std::size_t i = 0; i < quantities.size(); ++i) {
        b.archive.values.push_back(std::llround(quantities[i] * 1000));
        b.archive.stamps.push_back(
            {1767225600 + 3600 * static_cast<std::int64_t>(first + i), i == 0, quantities[i], unit});
    }
    return b;
}

TEST(HomeAssistant, AnnouncesEachQuantityKeepsTotalsFromGoingDownAndSaysWhenTheGatewayIsGone) {
    Q31_NEED_SERVER(MosquittoServer::Available() && std::filesystem::exists("/usr/bin/mosquitto_pub"), "mosquitto");
    MosquittoServer server;
    ASSERT_TRUE(server.Start()) << server.Log();
    MosquittoSubscriber all(server.Port(), "#");
    ASSERT_TRUE(all.Subscribed());
    MqttSinkSettings settings;
    settings.enabled = true;
    settings.port = server.Port();
    settings.homeAssistant = true;
    settings.quantities["hall-3"]["e"] = {"GJ", 0.001, "Heat"};
    MqttSink sink(settings, "gw-north", std::chrono::seconds(3));
    sink.Connect({"0a1b2c3d4e5f6789", 0, 10});
    sink.Ship({Hourly("e_hour", 100, {5.0, 5.012, 5.025}, "GJ"), Hourly("t_hour", 100, {71.5, 70.25}, "°C")});
    // A register that steps back is held; a temperature may fall.
    sink.Ship({Hourly("e_hour", 103, {5.02}, "GJ"), Hourly("t_hour", 102, {69.5}, "°C")});
    sink.Ship({Hourly("e_hour", 104, {5.03}, "GJ")});

    const std::string e = "hall-3_310001_0_m1_e_GJ", t = "hall-3_310001_0_m1_t_degC";
    const std::string eState = "q31/gw-north/hall-3/reading/" + e, tState = "q31/gw-north/hall-3/reading/" + t;
    std::vector<ReceivedMessage> got = all.WaitFor(14);
    ASSERT_EQ(got.size(), 14u);
    const std::vector<std::string> topics = {
        "q31/gw-north/generation",
        "homeassistant/binary_sensor/q31_gw-north/collector/config",
        "q31/gw-north/availability",
        "q31/gw-north/hall-3/archive",
        "homeassistant/sensor/q31_gw-north/" + e + "/config",
        eState,
        "q31/gw-north/hall-3/archive",
        "homeassistant/sensor/q31_gw-north/" + t + "/config",
        tState,
        "q31/gw-north/hall-3/archive",
        "q31/gw-north/hall-3/archive",
        tState,
        "q31/gw-north/hall-3/archive",
        eState,
    };
    for (std::size_t i = 0; i < topics.size(); ++i) EXPECT_EQ(got[i].topic, topics[i]) << i;
    EXPECT_EQ(got[2].payload, "online");
    EXPECT_EQ(Json::parse(got[4].payload), Json::parse(R"({
        "name": "Heat", "unique_id": "q31_gw-north_hall-3_310001_0_m1_e_GJ",
        "state_topic": "q31/gw-north/hall-3/reading/hall-3_310001_0_m1_e_GJ",
        "value_template": "{{ value_json.value }}",
        "json_attributes_topic": "q31/gw-north/hall-3/reading/hall-3_310001_0_m1_e_GJ",
        "unit_of_measurement": "GJ", "device_class": "energy", "state_class": "total",
        "availability_topic": "q31/gw-north/availability",
        "payload_available": "online", "payload_not_available": "offline",
        "device": {"identifiers": ["q31_gw-north_hall-3"], "name": "hall-3", "serial_number": "310001",
                   "model": "Q31\u041c", "via_device": "q31_gw-north"}})"));
    const Json tConfig = Json::parse(got[7].payload);
    EXPECT_EQ(tConfig["name"], "Temperature");
    EXPECT_EQ(tConfig["unit_of_measurement"], "°C");
    EXPECT_EQ(tConfig["device_class"], "temperature");
    EXPECT_EQ(tConfig["state_class"], "measurement");
    EXPECT_EQ(Json::parse(got[5].payload), Json::parse(R"({"value": 5.025, "unit": "GJ", "raw": 5025,
        "series": "e_hour", "module": 1, "record": 102, "closed_at": 1767592800, "closed_at_estimated": false})"));
    EXPECT_EQ(Json::parse(got[11].payload)["value"], 69.5);
    EXPECT_EQ(Json::parse(got[13].payload)["value"], 5.03);

    // Home Assistant restarts: every config and state again, then "online".
    ASSERT_TRUE(test::RunProgram("/usr/bin/mosquitto_pub",
                                 {"-p", std::to_string(server.Port()), "-t", "homeassistant/status", "-m", "online"},
                                 server.Dir()));
    for (int i = 0; i < 200 && got.size() < 21; ++i) {
        sink.Idle();
        got = all.WaitFor(21, std::chrono::milliseconds(50));
    }
    ASSERT_EQ(got.size(), 21u);
    EXPECT_EQ(got[14].topic, "homeassistant/status");
    const std::vector<std::string> again = {"homeassistant/binary_sensor/q31_gw-north/collector/config",
                                            "homeassistant/sensor/q31_gw-north/" + e + "/config",
                                            eState,
                                            "homeassistant/sensor/q31_gw-north/" + t + "/config",
                                            tState,
                                            "q31/gw-north/availability"};
    for (std::size_t i = 0; i < again.size(); ++i) EXPECT_EQ(got[15 + i].topic, again[i]) << i;
    EXPECT_EQ(Json::parse(got[17].payload)["value"], 5.03);
    // Home Assistant reads them when it subscribes, too.
    MosquittoSubscriber late(server.Port(), "homeassistant/+/+/+/config");
    EXPECT_EQ(late.WaitFor(3).size(), 3u);

    // A stop hands the broker the last will.
    sink.Disconnect();
    got = all.WaitFor(22);
    ASSERT_EQ(got.size(), 22u);
    EXPECT_EQ(got[21].topic, "q31/gw-north/availability");
    EXPECT_EQ(got[21].payload, "offline");
    MosquittoSubscriber after(server.Port(), "q31/gw-north/availability");
    const std::vector<ReceivedMessage> kept = after.WaitFor(1);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].payload, "offline");
    EXPECT_TRUE(kept[0].retained);
}

// The first message on `topic` among those received, once it has come (or
// after 20 s): its payload, or "" when none came.
std::string Awaited(MosquittoSubscriber& s, const std::string& topic, const std::string& payload = {}) {
    for (std::size_t seen = 0, i = 0; i < 100; ++i) {
        const std::vector<ReceivedMessage> got = s.WaitFor(seen + 1, std::chrono::milliseconds(200));
        for (; seen < got.size(); ++seen)
            if (got[seen].topic == topic && (payload.empty() || got[seen].payload == payload)) return got[seen].payload;
    }
    return "";
}

// The real collector, from its configuration to Home Assistant's entity, and
// its last will when it is killed.
TEST(HomeAssistant, TheCollectorAnnouncesWhatItStoredAndIsMarkedOfflineWhenKilled) {
    Q31_NEED_SERVER(MosquittoServer::Available(), "mosquitto");
    MosquittoServer server;
    ASSERT_TRUE(server.Start()) << server.Log();
    MosquittoSubscriber all(server.Port(), "#");
    ASSERT_TRUE(all.Subscribed());
    const std::string file = server.Dir() + "/fleet.toml";
    std::ofstream(file)
        << "[collect]\ngateway = \"gw-ha\"\n[sink.mqtt]\nhomeassistant = true\nport = " << server.Port()
        << "\n[quantity.e]\nunit = \"kWh\"\nscale = 0.5\n[defaults]\ncurrent_every_min = 0\n"
           "[[meter]]\nname = \"flat 4\"\nport = \"sim:41\"\nserial = 41\n  [meter.sim]\n  modules = 1\n"
           "  hour_count = 10\n  day_count = 2\n";
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        execl(Q31_TOOL_PROGRAM, Q31_TOOL_PROGRAM, "collect", "--config", file.c_str(), "--db",
              (server.Dir() + "/q31.sqlite").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    // A name that is no topic level keeps a hash in the ids.
    const std::string object = "flat_4_0f05308e_41_0_m1_e_kWh";
    const Json config =
        Json::parse(Awaited(all, "homeassistant/sensor/q31_gw-ha/" + object + "/config"), nullptr, false);
    const Json state = Json::parse(Awaited(all, "q31/gw-ha/flat 4/reading/" + object), nullptr, false);
    EXPECT_EQ(Awaited(all, "q31/gw-ha/availability"), "online");
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(Awaited(all, "q31/gw-ha/availability", "offline"), "offline");
    ASSERT_TRUE(config.is_object());
    EXPECT_EQ(config["name"], "Energy");
    EXPECT_EQ(config["unit_of_measurement"], "kWh");
    EXPECT_EQ(config["device_class"], "energy");
    EXPECT_EQ(config["device"]["serial_number"], "41");
    ASSERT_TRUE(state.is_object());
    EXPECT_EQ(state["record"], 9);
    EXPECT_EQ(state["unit"], "kWh");
    EXPECT_TRUE(state["closed_at"].is_number_integer());
}

}  // namespace
}  // namespace q31::tool::forward
