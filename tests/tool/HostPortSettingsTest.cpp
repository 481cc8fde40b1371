// OpenHostPort with line settings, on a pseudo-terminal whose termios shows
// what was set, and the OS's reason when a port does not open.
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>

#include "support/HostPort.h"
#include "support/Pty.h"

namespace q31::test {
namespace {

class HostPortSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(PtyOpen(pty)); }
    void TearDown() override { PtyClose(pty); }
    termios Opened(const HostPortSettings& settings) {
        int error = -1;
        const PortHandle port = OpenHostPort(pty.slavePath.c_str(), settings, &error);
        termios t{};
        EXPECT_TRUE(PortUsable(port));
        EXPECT_EQ(error, 0);
        if (PortUsable(port)) {
            EXPECT_EQ(::tcgetattr(static_cast<int>(port), &t), 0);
            CloseHostPort(port);
        }
        return t;
    }
    PtyPair pty;
};

// The pseudo-terminal driver keeps eight data bits without parity whatever
// is asked, so parity is seen here only as a setting the port accepts.
TEST_F(HostPortSettingsTest, StopBitsAndSpeedReachTheTerminal) {
    termios t = Opened({4800, HostParity::Odd, 2});
    EXPECT_EQ(cfgetospeed(&t), B4800);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    t = Opened({115200, HostParity::Even, 1});
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_FALSE(t.c_cflag & CSTOPB);

    // The plain overload keeps 8N1.
    const PortHandle port = OpenHostPort(pty.slavePath.c_str(), 9600);
    ASSERT_TRUE(PortUsable(port));
    ASSERT_EQ(::tcgetattr(static_cast<int>(port), &t), 0);
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
    EXPECT_EQ(cfgetospeed(&t), B9600);
    CloseHostPort(port);
}

TEST_F(HostPortSettingsTest, EveryNamedSpeedFromFiftyToFourMillion) {
    for (int baud : {50, 75, 110, 134, 150, 200, 300, 600, 1800, 57600, 230400, 460800, 921600, 1000000, 4000000}) {
        ASSERT_TRUE(HostPortSpeedSupported(baud)) << baud;
        const PortHandle port = OpenHostPort(pty.slavePath.c_str(), HostPortSettings{baud, HostParity::None, 1});
        EXPECT_TRUE(PortUsable(port)) << baud;
        CloseHostPort(port);
    }
    for (int baud : {0, 49, 9601, 12345, 4000001}) EXPECT_FALSE(HostPortSpeedSupported(baud)) << baud;
}

TEST_F(HostPortSettingsTest, FailuresCarryTheOsError) {
    int error = 0;
    EXPECT_FALSE(PortUsable(OpenHostPort("/dev/no-such-q31-port", HostPortSettings{}, &error)));
    EXPECT_EQ(error, ENOENT);
    // Settings the system does not offer: nothing is opened.
    EXPECT_FALSE(PortUsable(OpenHostPort(pty.slavePath.c_str(), HostPortSettings{12345, HostParity::None, 1}, &error)));
    EXPECT_EQ(error, EINVAL);
    EXPECT_FALSE(PortUsable(OpenHostPort(pty.slavePath.c_str(), HostPortSettings{9600, HostParity::None, 3}, &error)));
    EXPECT_EQ(error, EINVAL);
    // A file that is no terminal cannot be set up.
    EXPECT_FALSE(PortUsable(OpenHostPort("/dev/null", HostPortSettings{}, &error)));
    EXPECT_EQ(error, ENOTTY);
}

}  // namespace
}  // namespace q31::test
