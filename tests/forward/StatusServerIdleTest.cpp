// The status page under clients that connect and say nothing: probes are
// still answered, and the server holds a bounded number of connections
// (the rest wait in the kernel), so they cannot take the descriptors the
// collector needs for its database and sinks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/FreePort.h"
#include "tools/q31/status/StatusServer.h"

namespace q31::tool::forward {
namespace {

using Clock = std::chrono::steady_clock;

// Connections that send nothing; not waited for, since beyond the server's
// bound the kernel keeps them waiting. They come a few at a time: the
// server's listen backlog is short, and a burst beyond it completes on the
// client's side (SYN cookies) without ever reaching the server, so how many
// it holds would turn on how fast its accepting thread ran.
class IdleClients {
public:
    IdleClients(int port, int count) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            if (fd < 0) continue;
            connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            fds_.push_back(fd);
            if (i % 4 == 3) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~IdleClients() {
        for (int fd : fds_) close(fd);
    }
    std::size_t Count() const { return fds_.size(); }

private:
    std::vector<int> fds_;
};

long OpenDescriptors() {
    long n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Seconds until an answer (any status: the database is not there), or -1.
double Probe(int port, int timeoutS) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(timeoutS);
    client.set_read_timeout(timeoutS);
    const auto start = Clock::now();
    const auto result = client.Get("/metrics");
    if (!result) return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(StatusServerIdle, IdleConnectionsShutOutNoProbeAndAreHeldWithinABound) {
    forward::HttpSettings settings;
    settings.enabled = true;
    settings.listen = "127.0.0.1:0";
    const std::string db = (std::filesystem::temp_directory_path() / "q31-idle-no-such.sqlite").string();
    StatusServer server(settings, db, "gw", {});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;

    // Many idle clients: each side of a connection held is a descriptor of
    // this process; the server's side stays within its 16 threads, 32
    // queued and the one its accepting thread holds while it waits.
    const long before = OpenDescriptors();
    {
        IdleClients crowd(server.Port(), 300);
        ASSERT_EQ(crowd.Count(), 300u);
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (OpenDescriptors() - before < 300 + 32 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_GE(OpenDescriptors() - before, 300 + 32);
        EXPECT_LE(OpenDescriptors() - before, 300 + 49);
    }

    // A few idle clients leave threads for the probes, which get their
    // answer well within their own time-out.
    IdleClients idle(server.Port(), 8);
    ASSERT_EQ(idle.Count(), 8u);
    for (int i = 0; i < 4; ++i) {
        const double seconds = Probe(server.Port(), 3);
        EXPECT_GE(seconds, 0) << "probe " << i;
        EXPECT_LT(seconds, 2.5) << "probe " << i;
    }
}

// The service's file-system sandbox, as unshare makes it (a read-only root,
// the state directory writable), with the host's network as the unit now
// leaves it: the page is reached from outside.
TEST(StatusServerIdle, ThePageOfACollectorInTheServicesSandboxIsReachedFromOutside) {
    const std::string dir = (std::filesystem::temp_directory_path() / "q31-sandboxed").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/state");
    const int port = FreeLoopbackPort();
    std::ofstream(dir + "/collect.toml") << "[http]\nlisten = \"127.0.0.1:" << port
                                         << "\"\n[[meter]]\nname = \"a\"\nport = \"sim:1\"\nserial = 1\n";
    ChildProcess collector;
    // unshare and the shell exec what follows: the process stopped is the collector.
    ASSERT_TRUE(collector.Start(
        "/usr/bin/unshare",
        {"--mount", "--propagation", "private", "/bin/sh", "-c",
         "mount --bind " + dir + "/state " + dir + "/state && mount -o remount,bind,ro / && [ ! -w /usr ] && exec " +
             Q31_TOOL_PROGRAM + " collect --config " + dir + "/collect.toml --db " + dir + "/state/q31.sqlite 2>&1"}));
    const std::string first = collector.FirstLine(20000);
    if (first.find("metrics and status page on") == std::string::npos) {
        collector.Stop();
        GTEST_SKIP() << "no mount namespace here (it takes root): " << first;
    }
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(5);
    const auto page = client.Get("/metrics");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("q31_meter_attempts_total"), std::string::npos);
    collector.Stop();
}

}  // namespace
}  // namespace q31::tool::forward
