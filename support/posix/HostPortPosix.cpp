#include "support/HostPort.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace q31 {

namespace {

struct NamedSpeed {
    int baud;
    speed_t speed;
};

// Every speed termios names on this system; a speed missing here has no
// constant and cannot be set through cfsetspeed.
constexpr NamedSpeed kSpeeds[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedOf(int baud, speed_t& out) {
    for (const NamedSpeed& s : kSpeeds)
        if (s.baud == baud) {
            out = s.speed;
            return true;
        }
    return false;
}

}  // namespace

bool HostPortSpeedSupported(int baud) {
    speed_t unused{};
    return SpeedOf(baud, unused);
}

PortHandle OpenHostPort(const char* path, const HostPortSettings& settings, int* osError) {
    auto fail = [&](int error) {
        if (osError) *osError = error;
        return kNoPort;
    };
    speed_t speed{};
    if (path == nullptr || !SpeedOf(settings.baud, speed) || (settings.stopBits != 1 && settings.stopBits != 2))
        return fail(EINVAL);
    // Non-blocking open: a real serial device without carrier would otherwise
    // hold the open until the modem lines come up.
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    termios t{};
    bool ok = ::tcgetattr(fd, &t) == 0;
    if (ok) {
        // One program at a time on a line: a second one would answer the
        // first one's packets and read its replies. The advisory lock stops
        // every program that takes it (as serial tools do), whoever runs it;
        // TIOCEXCL then refuses further opens of the device by anyone but
        // the superuser.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return fail(error);
        }
        ::ioctl(fd, TIOCEXCL);
    }
    if (ok) {
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | PARODD);
        if (settings.stopBits == 2) t.c_cflag |= CSTOPB;
        if (settings.parity != HostParity::None) {
            t.c_cflag |= PARENB;
            if (settings.parity == HostParity::Odd) t.c_cflag |= PARODD;
            // The driver checks parity but hands bytes on unchanged; the
            // link's checksum decides what a damaged reply is.
            t.c_iflag &= ~static_cast<tcflag_t>(INPCK | PARMRK | IGNPAR);
        }
        t.c_cc[VMIN] = 0;  // reads return at once with what is queued
        t.c_cc[VTIME] = 0;
        ok = ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0 && ::tcsetattr(fd, TCSANOW, &t) == 0;
    }
    if (ok) {
        // Back to blocking writes; reads still return at once through VMIN/VTIME.
        const int flags = ::fcntl(fd, F_GETFL);
        ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    }
    if (!ok) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    ::tcflush(fd, TCIOFLUSH);
    if (osError) *osError = 0;
    return static_cast<PortHandle>(fd);
}

PortHandle OpenHostPort(const char* path, int baud) {
    HostPortSettings settings;
    settings.baud = baud;
    return OpenHostPort(path, settings);
}

const char* HostPortErrorText(int osError) {
    // The device refuses a second open while another program holds it.
    if (osError == EBUSY) return "in use by another program";
    return std::strerror(osError);
}

bool HostPortBusy(int osError) { return osError == EBUSY; }

std::string HostPortOpenErrorText(int osError) {
    std::string text = HostPortErrorText(osError);
    if (osError == EACCES)
        text += " (is this user in the dialout group? `sudo usermod -aG dialout $USER`, then log in again)";
    return text;
}

int DiscardHostPortInput(PortHandle port) {
    if (!PortUsable(port)) return -1;
    const int fd = static_cast<int>(port);
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) != 0) waiting = 0;
    if (::tcflush(fd, TCIFLUSH) != 0) return -1;
    return waiting;
}

void CloseHostPort(PortHandle port) {
    if (PortUsable(port)) ::close(static_cast<int>(port));
}

}  // namespace q31
