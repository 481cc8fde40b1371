// /metrics and the status page over a database the real collector wrote:
// two meters on one virtual line, one of which never answers.
#include "tools/q31/status/StatusServer.h"

#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/forward/ServerRules.h"

namespace q31::tool::forward {
namespace {

namespace fs = std::filesystem;

// A quote, a backslash-free tag: both must come out escaped.
const std::string kGateway = "hall \"7\" <b>";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// "good" answers at 201 with hourCount hourly and 20 daily records of one
// module; "silent" is an address of the same line nobody answers, tried once
// and twice again each pass. Energy, temperature, mass and stop time have
// units, one of which has no base unit; volume stays raw.
std::string RunCollect(const std::string& dir, int hourCount) {
    const std::string config = dir + "/fleet.toml";
    std::ofstream(config) << "[collect]\nretries = 2\nretry_base_ms = 50\n\n"
                             "[defaults]\ntimeout_ms = 100\nsend_limit = 1\ncurrent_every_min = 0\n\n"
                             "[quantity.e]\nunit = \"GJ\"\nscale = 0.001\n[quantity.t]\nunit = \"°C\"\nscale = 0.01\n"
                             "[quantity.stop]\nunit = \"h\"\n[quantity.m]\nunit = \"t\"\nscale = 0.001\n\n"
                             "[[meter]]\nname = \"good\"\nport = \"sim:11\"\nserial = 1111\naddress = 201\n"
                             "  [meter.sim]\n  modules = 1\n  hour_count = "
                          << hourCount
                          << "\n  day_count = 20\n\n"
                             "[[meter]]\nname = \"silent\"\nport = \"sim:11\"\nserial = 2222\naddress = 202\n";
    const std::string out = dir + "/collect.out";
    std::system(("'" Q31_TOOL_PROGRAM "' collect --once --config '" + config + "' --db '" + dir + "/q31.sqlite' >'" +
                 out + "' 2>&1")
                    .c_str());
    return ReadFile(out);
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && fs::exists(fs::path(dir) / program)) return true;
    return false;
}

class StatusServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = (fs::temp_directory_path() / ("q31-status-" + std::to_string(std::random_device{}()))).string();
        fs::create_directories(dir_);
        const std::string out = RunCollect(dir_, 60);
        ASSERT_NE(out.find("1 meter read, 1 failed"), std::string::npos) << out;
        forward::HttpSettings settings;
        settings.enabled = true;
        settings.listen = "127.0.0.1:0";
        server_ = std::make_unique<StatusServer>(settings, dir_ + "/q31.sqlite", kGateway, [] {
            ForwardStatus postgres{"postgres", true, 950, 951, 1, 3, 950, 0, ""};
            ForwardStatus mqtt{"mqtt", false, 933, 950, 17, 420, 933, 4, "connection refused", 2};
            return std::vector<ForwardStatus>{postgres, mqtt};
        });
        cycles_.Set("tcp://10.0.0.7:4001", 12.3456);
        cycles_.Set("/dev/ttyUSB0", 0.5);
        server_->SetChannels(&cycles_);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        ASSERT_GT(server_->Port(), 0);
    }
    void TearDown() override {
        if (server_) server_->Stop();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(server_->Port()) + "/"; }

    std::string dir_;
    forward::ChannelCycles cycles_;
    std::unique_ptr<StatusServer> server_;
};

TEST_F(StatusServerTest, MetricsCountWhatIsStoredAndFollowTheNextPass) {
    httplib::Client client("127.0.0.1", server_->Port());
    const std::string labels = "{gateway=\"hall \\\"7\\\" <b>\",meter=";
    auto expectLines = [&](const std::string& body, const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            EXPECT_NE(body.find("\n" + line + "\n"), std::string::npos) << line << "\n" << body;
    };
    auto res = client.Get("/metrics");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    // (60 hourly + 20 daily records) x (time + five series of the one module)
    expectLines(
        res->body,
        {
            "# TYPE q31_meter_attempts_total counter",
            "q31_meter_attempts_total" + labels + "\"silent\",outcome=\"no_answer\"} 3",
            "q31_meter_attempts_total" + labels + "\"silent\",outcome=\"ok\"} 0",
            "q31_meter_attempts_total" + labels + "\"good\",outcome=\"ok\"} 1",
            "q31_meter_info" + labels + "\"good\",serial=\"1111\",address=\"201\",port=\"sim:11\"} 1",
            "q31_meter_records_stored_total" + labels + "\"good\"} 480",
            "q31_meter_records_stored_total" + labels + "\"silent\"} 0",
            "q31_meter_last_success_timestamp_seconds" + labels + "\"silent\"} 0",
            "q31_meter_failures_in_row" + labels + "\"silent\"} 3",
            "q31_meter_failures_in_row" + labels + "\"good\"} 0",
            "q31_meter_gaps_total" + labels + "\"good\"} 0",
            // The sim's record 59: (59 << 8) | field << 3 | module, T being field 5 and Stop 1.
            "q31_meter_temperature_celsius" + labels + "\"good\",module=\"1\",series=\"t_hour\"} 151.45000000000002",
            "q31_meter_value" + labels + "\"good\",module=\"1\",series=\"stop_hour\",unit=\"h\"} 15113",
            "# TYPE q31_meter_energy_joules gauge",
            "# TYPE q31_meter_mass_grams gauge",
            "# HELP q31_meter_temperature_celsius The newest stored value of each series, as temperature in "
            "degrees Celsius; cached from the collector's last read, not read at the scrape.",
            "q31_meter_rejected_replies_total" + labels + "\"good\",reason=\"checksum\"} 0",
            "q31_sink_backlog_rows{gateway=\"hall \\\"7\\\" <b>\",sink=\"mqtt\"} 17",
            "q31_sink_backlog_seconds{gateway=\"hall \\\"7\\\" <b>\",sink=\"mqtt\"} 420",
            "q31_sink_connected{gateway=\"hall \\\"7\\\" <b>\",sink=\"postgres\"} 1",
            "q31_sink_shipped_total{gateway=\"hall \\\"7\\\" <b>\",sink=\"postgres\"} 950",
            "q31_sink_rejected_total{gateway=\"hall \\\"7\\\" <b>\",sink=\"mqtt\"} 2",
            "# TYPE q31_channel_cycle_seconds gauge",
            "q31_channel_cycle_seconds{gateway=\"hall \\\"7\\\" <b>\",channel=\"/dev/ttyUSB0\"} 0.500",
            "q31_channel_cycle_seconds{gateway=\"hall \\\"7\\\" <b>\",channel=\"tcp://10.0.0.7:4001\"} "
            "12.346",
        });
    EXPECT_EQ(res->body.find("connection refused"), std::string::npos);
    // Raw series have no gauge; every gauge has its record's time.
    EXPECT_EQ(res->body.find("series=\"u_hour\""), std::string::npos);
    EXPECT_NE(res->body.find("\nq31_meter_energy_joules_timestamp_seconds" + labels +
                             "\"good\",module=\"1\",series=\"e_day\"} "),
              std::string::npos);

    // Ten more hours on the meter: six hourly series gain ten records each,
    // and each meter has one more pass on record.
    const std::string out = RunCollect(dir_, 70);
    ASSERT_NE(out.find("1 meter read, 1 failed"), std::string::npos) << out;
    res = client.Get("/metrics");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    expectLines(res->body, {
                               "q31_meter_attempts_total" + labels + "\"silent\",outcome=\"no_answer\"} 6",
                               "q31_meter_attempts_total" + labels + "\"good\",outcome=\"ok\"} 2",
                               "q31_meter_records_stored_total" + labels + "\"good\"} 540",
                               "q31_meter_failures_in_row" + labels + "\"silent\"} 6",
                           });

    // Another database under the same name is counted afresh.
    fs::remove(dir_ + "/q31.sqlite");
    fs::remove(dir_ + "/q31.sqlite-wal");
    fs::remove(dir_ + "/q31.sqlite-shm");
    ASSERT_NE(RunCollect(dir_, 30).find("1 meter read, 1 failed"), std::string::npos);
    res = client.Get("/metrics");
    ASSERT_TRUE(res);
    expectLines(res->body, {"q31_meter_records_stored_total" + labels + "\"good\"} 300",
                            "q31_meter_attempts_total" + labels + "\"silent\",outcome=\"no_answer\"} 3"});
}

// Prometheus' own linter on what a scrape gets: names, types, HELP, units.
TEST_F(StatusServerTest, MetricsPassPromtool) {
    Q31_NEED_SERVER(OnPath("promtool"), "promtool");
    std::ofstream(dir_ + "/metrics.txt") << server_->Metrics();
    const int rc =
        std::system(("promtool check metrics <'" + dir_ + "/metrics.txt' >'" + dir_ + "/promtool.out' 2>&1").c_str());
    EXPECT_EQ(rc, 0) << ReadFile(dir_ + "/promtool.out");
    EXPECT_EQ(ReadFile(dir_ + "/promtool.out"), "");
}

// The part of `dom` from `<svg id="chart-METER"` to its end.
std::string ChartOf(const std::string& dom, const std::string& meter) {
    const auto at = dom.find("<svg id=\"chart-" + meter + "\"");
    if (at == std::string::npos) return "";
    return dom.substr(at, dom.find("</svg>", at) - at);
}

// The chart's bars: one per hour.
std::size_t BarCount(const std::string& chart) {
    std::size_t n = 0;
    for (auto at = chart.find("<rect"); at != std::string::npos; at = chart.find("<rect", at + 1)) ++n;
    return n;
}

TEST_F(StatusServerTest, PageShowsEachMeterWithItsChartInABrowser) {
    Q31_NEED_SERVER(OnPath("chromium"), "chromium");
    const std::string chromium =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage "
        "--no-first-run --hide-scrollbars --window-size=1200,900 --user-data-dir='" +
        dir_ + "/profile' ";
    std::system((chromium + "--dump-dom " + Url() + " >'" + dir_ + "/dom.html' 2>/dev/null").c_str());
    const std::string dom = ReadFile(dir_ + "/dom.html");
    EXPECT_NE(dom.find("<tr id=\"meter-good\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("<tr id=\"meter-silent\""), std::string::npos);
    EXPECT_NE(dom.find("hall \"7\" &lt;b&gt;"), std::string::npos);
    EXPECT_EQ(dom.find("<b>"), std::string::npos);
    EXPECT_EQ(BarCount(ChartOf(dom, "good")), 48u);
    // The register steps 256 each hour, times 0.001.
    EXPECT_NE(ChartOf(dom, "good").find(">max 0.256 GJ/h</text>"), std::string::npos) << ChartOf(dom, "good");
    EXPECT_NE(ChartOf(dom, "good").find(">last hour 0.256 GJ</text>"), std::string::npos);
    // The silent meter's chart is there, without values.
    EXPECT_NE(ChartOf(dom, "silent"), "");
    EXPECT_EQ(BarCount(ChartOf(dom, "silent")), 0u);
    EXPECT_NE(dom.find("no answer"), std::string::npos);
    EXPECT_NE(dom.find("<tr id=\"sink-mqtt\""), std::string::npos);
    EXPECT_NE(dom.find("<td class=\"port\">sim:11</td><td class=\"number address\">201</td>"), std::string::npos);
    EXPECT_NE(dom.find("<span class=\"reading\">Stop 15113 h</span><br><span class=\"reading\">T 151.45 °C</span>"),
              std::string::npos);
    EXPECT_NE(dom.find(">1 entry</td>"), std::string::npos);
    EXPECT_NE(dom.find(">17 entries</td>"), std::string::npos);

    const std::string png = dir_ + "/page.png";
    std::system((chromium + "--screenshot='" + png + "' " + Url() + " >/dev/null 2>&1").c_str());
    const std::string image = ReadFile(png);
    EXPECT_GT(image.size(), 20000u);
    EXPECT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
}

}  // namespace
}  // namespace q31::tool::forward
