#include "platform/HostPort.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace q31 {

namespace {

bool SpeedOf(int baud, speed_t& out) {
    switch (baud) {
        case 1200: out = B1200; return true;
        case 2400: out = B2400; return true;
        case 4800: out = B4800; return true;
        case 9600: out = B9600; return true;
        case 19200: out = B19200; return true;
        case 38400: out = B38400; return true;
        case 57600: out = B57600; return true;
        case 115200: out = B115200; return true;
        case 230400: out = B230400; return true;
        default: return false;
    }
}

}  // namespace

PortHandle OpenHostPort(const char* path, int baud) {
    speed_t speed{};
    if (path == nullptr || !SpeedOf(baud, speed)) return kNoPort;
    // Non-blocking open: a real serial device without carrier would otherwise
    // hold the open until the modem lines come up.
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kNoPort;
    termios t{};
    bool ok = ::tcgetattr(fd, &t) == 0;
    if (ok) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB);
        t.c_cc[VMIN] = 0;  // reads return at once with what is queued
        t.c_cc[VTIME] = 0;
        ok = ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0 &&
             ::tcsetattr(fd, TCSANOW, &t) == 0;
    }
    if (ok) {
        // Back to blocking writes; reads still return at once through VMIN/VTIME.
        const int flags = ::fcntl(fd, F_GETFL);
        ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    }
    if (!ok) {
        ::close(fd);
        return kNoPort;
    }
    ::tcflush(fd, TCIOFLUSH);
    return static_cast<PortHandle>(fd);
}

void CloseHostPort(PortHandle port) {
    if (PortUsable(port)) ::close(static_cast<int>(port));
}

}  // namespace q31
