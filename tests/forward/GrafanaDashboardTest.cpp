// The fleet dashboard's PromQL: each expression parses as Prometheus parses
// it (promtool from Debian's prometheus package), and names only metrics the
// collector serves.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/forward/MosquittoServer.h"
#include "tests/forward/ServerRules.h"

namespace q31::test {
namespace {

// The expressions as Grafana sends them, with every gateway and meter chosen.
std::vector<std::string> FleetExpressions() {
    std::ifstream in(std::string(Q31_SOURCE_DIR) + "/share/q31/grafana/dashboards/q31-fleet-health.json");
    const nlohmann::json board = nlohmann::json::parse(in);
    std::vector<std::string> out;
    for (const auto& v : board["templating"]["list"])
        if (v["type"] == "query") out.push_back(v["query"]["query"]);
    for (const auto& p : board["panels"])
        for (const auto& t : p["targets"]) out.push_back(t["expr"]);
    for (std::string& e : out)
        for (const std::string name : {"$gateway", "$meter"})
            for (auto at = e.find(name); at != std::string::npos; at = e.find(name)) e.replace(at, name.size(), ".*");
    return out;
}

TEST(GrafanaDashboard, TheFleetExpressionsParseAndNameTheCollectorsMetrics) {
    const std::vector<std::string> exprs = FleetExpressions();
    ASSERT_EQ(exprs.size(), 12u);
    const std::set<std::string> served = {"q31_meter_failures_in_row", "q31_meter_last_success_timestamp_seconds",
                                          "q31_meter_attempts_total",  "q31_meter_records_stored_total",
                                          "q31_meter_gaps_total",      "q31_sink_backlog_rows",
                                          "q31_sink_connected",        "q31_meter_info",
                                          "q31_meter_energy_joules"};
    std::string rules = "groups:\n  - name: dashboard\n    rules:\n";
    int n = 0;
    for (const std::string& e : exprs) {
        for (auto at = e.find("q31_"); at != std::string::npos; at = e.find("q31_", at + 1)) {
            const std::string name =
                e.substr(at, e.find_first_not_of("abcdefghijklmnopqrstuvwxyz_0123456789", at) - at);
            EXPECT_TRUE(served.count(name)) << name << " in " << e;
            at += name.size() - 1;
        }
        // label_values() is Grafana's, not PromQL: its metric is checked above.
        if (e.rfind("label_values(", 0) == 0) continue;
        nlohmann::json quoted = e;
        rules += "      - record: dashboard:expr" + std::to_string(++n) + "\n        expr: " + quoted.dump() + "\n";
    }
    const bool promtool = std::filesystem::exists("/usr/bin/promtool");
    Q31_NEED_SERVER(promtool, "promtool (Debian's prometheus package)");
    const std::string dir = MakeScratchDir("q31-grafana");
    std::ofstream(dir + "/rules.yml") << rules;
    const std::string command = "/usr/bin/promtool check rules " + dir + "/rules.yml > " + dir + "/out 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream out(dir + "/out");
    EXPECT_EQ(status, 0) << rules << std::string(std::istreambuf_iterator<char>(out), {});
}

}  // namespace
}  // namespace q31::test
