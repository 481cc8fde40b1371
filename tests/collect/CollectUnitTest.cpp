// The service unit as shipped: it lets the collector reach its sinks and
// serve its page, and keeps the rest of the sandbox; systemd itself checks
// it where systemd-analyze is installed.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

std::string UnitText() {
    std::ifstream in(std::string(Q31_SOURCE_DIR) + "/packaging/q31-collect.service.in");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every value a key is given, in order (a key may be set more than once).
std::vector<std::string> Values(const std::string& unit, const std::string& key) {
    std::vector<std::string> out;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key + "=", 0) == 0) out.push_back(line.substr(key.size() + 1));
    return out;
}

// What a command wrote on stdout and stderr, and its exit status.
std::pair<int, std::string> Shell(const std::string& command) {
    std::FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return {-1, "popen failed"};
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
    return {pclose(p), out};
}

TEST(CollectUnit, ReachesTheNetworkAndKeepsTheRestOfTheSandbox) {
    const std::string unit = UnitText();
    ASSERT_FALSE(unit.empty());
    // The sinks and the status page are on TCP; a private network namespace
    // would leave the collector alone with its own loopback.
    EXPECT_TRUE(Values(unit, "PrivateNetwork").empty());
    EXPECT_EQ(Values(unit, "RestrictAddressFamilies"), std::vector<std::string>{"AF_UNIX AF_INET AF_INET6"});
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{{"DynamicUser", "yes"},
                                                                                     {"ProtectSystem", "strict"},
                                                                                     {"ProtectHome", "yes"},
                                                                                     {"NoNewPrivileges", "yes"},
                                                                                     {"CapabilityBoundingSet", ""},
                                                                                     {"DevicePolicy", "closed"},
                                                                                     {"ProtectProc", "invisible"},
                                                                                     {"RestartPreventExitStatus", "2"},
                                                                                     {"SuccessExitStatus", "143"},
                                                                                     {"SystemCallErrorNumber", "EPERM"},
                                                                                     {"LimitNOFILE", "16384"}})
        EXPECT_EQ(Values(unit, key), std::vector<std::string>{value}) << key;
}

TEST(CollectUnit, SystemdFindsNothingWrongAndRatesItsExposureLow) {
    if (Shell("systemd-analyze --version").first != 0) GTEST_SKIP() << "systemd-analyze is not installed";
    const std::string dir = MakeTempDir("q31-collect-unit");
    std::string unit = UnitText();
    unit = std::regex_replace(unit, std::regex("@Q31_UNIT_BINDIR@/q31"), Q31_TOOL_PROGRAM);
    std::ofstream(dir + "/q31-collect.service") << unit;

    const auto [verifyStatus, verify] = Shell("cd " + dir + " && systemd-analyze verify ./q31-collect.service");
    // The manual page is installed with the unit, not with the build.
    std::string findings;
    std::istringstream lines(verify);
    for (std::string line; std::getline(lines, line);)
        if (line.find("man q31(1)") == std::string::npos) findings += line + "\n";
    EXPECT_EQ(findings, "");

    const auto [status, security] =
        Shell("cd " + dir + " && systemd-analyze security --offline=yes ./q31-collect.service");
    std::smatch level;
    ASSERT_TRUE(std::regex_search(security, level, std::regex("exposure level for q31-collect.service: ([0-9.]+)")))
        << security;
    // 1.5: what the sinks' network costs (PrivateNetwork, address families,
    // no address allow list) over 1.1 for the unit that had none.
    EXPECT_LE(std::stod(level[1]), 1.5) << security;
}

// What the package installs as the start of /etc/q31/collect.toml.
TEST(CollectUnit, TheExampleConfigurationPassesTheCheck) {
    const std::string dir = MakeTempDir("q31-collect-example");
    const CollectRun run = RunCollect(
        {"collect", "--check", "--config", std::string(Q31_SOURCE_DIR) + "/packaging/collect.example.toml"}, dir);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, std::string(Q31_SOURCE_DIR) + "/packaging/collect.example.toml: ok, 1 meter on 1 line\n");
}

}  // namespace
}  // namespace q31::test
