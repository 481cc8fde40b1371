// q31 collect under a service manager. The manager's end of the notify
// protocol is a datagram socket named by NOTIFY_SOCKET: the collector says
// when it is ready, pings the watchdog while its loop turns, and says when it
// stops.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

using Clock = std::chrono::steady_clock;

// The manager's end, in the abstract namespace (no file to clean up).
class NotifySocket {
public:
    explicit NotifySocket(const std::string& name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), length) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Bound() const { return bound_; }

    // The next message, or nothing within `timeout`.
    std::optional<std::string> Next(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    int fd_ = -1;
    bool bound_ = false;
};

TEST(CollectNotify, ReadyThenWatchdogPingsAtMostEveryHalfIntervalThenStoppingOnSigterm) {
    if (!Q31_COLLECT_NOTIFIES) GTEST_SKIP() << "built without libsystemd: q31 collect notifies nobody";
    const std::string dir = MakeTempDir("q31-collect-notify");
    const std::string config = dir + "/fleet.toml";
    // Long enough a first pass that the loop turns fast for a while.
    std::ofstream(config) << "[defaults]\nlogs = false\ncurrent_every_min = 0\n\n[[meter]]\nname = \"m\"\n"
                             "port = \"sim:5\"\nserial = 5\n  [meter.sim]\n  modules = 2\n  hour_count = 600\n";
    const std::string name = "q31-notify-" + std::to_string(::getpid());
    NotifySocket manager(name);
    ASSERT_TRUE(manager.Bound());

    // The child takes the environment as it is when it starts.
    ::setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    ::setenv("WATCHDOG_USEC", "200000", 1);
    CollectChild watch({"collect", "--config", config, "--db", dir + "/q31.sqlite"}, dir);
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");

    const auto ready = manager.Next(std::chrono::seconds(30));
    ASSERT_TRUE(ready) << watch.Err();
    EXPECT_EQ(*ready, "READY=1\nSTATUS=collecting 1 meter");
    std::vector<Clock::time_point> pings;
    while (pings.size() < 3) {
        const auto m = manager.Next(std::chrono::seconds(10));
        ASSERT_TRUE(m) << "after " << pings.size() << " pings: " << watch.Err();
        ASSERT_EQ(*m, "WATCHDOG=1");
        pings.push_back(Clock::now());
    }
    // Pings go at most every 100 ms, while the loop turns every 20 ms during
    // a read: three of them span at least 200 ms (less a little for when they
    // were received).
    EXPECT_GE(pings[2] - pings[0], std::chrono::milliseconds(150));

    ASSERT_TRUE(watch.Signal(SIGTERM));
    std::optional<std::string> m;
    do m = manager.Next(std::chrono::seconds(20));
    while (m && *m == "WATCHDOG=1");
    ASSERT_TRUE(m) << watch.Err();
    EXPECT_EQ(*m, "STOPPING=1");
    ASSERT_TRUE(watch.Wait(std::chrono::seconds(20)));
    EXPECT_EQ(watch.ExitStatus(), 143) << watch.Err();
}

}  // namespace
}  // namespace q31::test
