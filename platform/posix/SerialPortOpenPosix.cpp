// The OS's side of PortOpen: a serial device, or a TCP connection.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/NativePort.h"

namespace q31 {

namespace {

PortHandle Failed(PortOpenError* error, int osError, const char* what, const char* detail) {
    if (error) {
        error->osError = osError;
        // A long host name is cut short, not an error.
        if (std::snprintf(error->text, sizeof error->text, "%s: %s", what, detail) < 0) error->text[0] = '\0';
    }
    return kNoPort;
}

bool SpeedOf(int baud, speed_t& out) {
    static constexpr struct {
        int baud;
        speed_t speed;
    } kSpeeds[] = {{300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},   {4800, B4800},
                   {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600}, {115200, B115200},
                   {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            out = s.speed;
            return true;
        }
    return false;
}

bool SetLine(int fd, const LineSettings& settings, speed_t speed) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[settings.dataBits - 5];
    if (settings.stopBits == 2) t.c_cflag |= CSTOPB;
    if (settings.parity != LineParity::None) t.c_cflag |= PARENB;
    if (settings.parity == LineParity::Odd) t.c_cflag |= PARODD;
    t.c_cc[VMIN] = 0;  // reads return at once with what is queued
    t.c_cc[VTIME] = 0;
    return ::cfsetispeed(&t, speed) == 0 && ::cfsetospeed(&t, speed) == 0 && ::tcsetattr(fd, TCSANOW, &t) == 0;
}

// Waits for a non-blocking connect to finish; 0 on success, else the error.
int AwaitConnect(int fd, int timeoutMs) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do ready = ::poll(&p, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready < 0) return errno;
    if (ready == 0) return ETIMEDOUT;
    int result = 0;
    socklen_t length = sizeof result;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) return errno;
    return result;
}

}  // namespace

PortHandle NativeOpenDevice(const char* path, const LineSettings& settings, PortOpenError* error) {
    speed_t speed{};
    if (!SpeedOf(settings.baud, speed)) return Failed(error, EINVAL, path, "the system offers no such line speed");
    // Non-blocking: a device without carrier would otherwise hold the open.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failed(error, errno, path, std::strerror(errno));
    // One program at a time on a line, as the operator's tools take it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return Failed(error, code, path, code == EBUSY ? "in use by another program" : std::strerror(code));
    }
    if (!SetLine(fd, settings, speed)) {
        const int code = errno;
        ::close(fd);
        return Failed(error, code, path, std::strerror(code));
    }
    ::tcflush(fd, TCIOFLUSH);
    return static_cast<PortHandle>(fd);
}

PortHandle NativeConnect(const char* host, int port, int timeoutMs, PortOpenError* error) {
    char where[300];
    if (std::snprintf(where, sizeof where, "cannot connect to %s:%d", host, port) < 0) where[0] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[8];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo* found = nullptr;
    const int lookup = ::getaddrinfo(host, service, &hints, &found);
    if (lookup != 0) return Failed(error, lookup == EAI_SYSTEM ? errno : 0, where, ::gai_strerror(lookup));
    int code = ETIMEDOUT;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            code = errno;
            continue;
        }
        code = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (code == EINPROGRESS) code = AwaitConnect(fd, timeoutMs);
        if (code != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0) return Failed(error, code, where, std::strerror(code));
    // A request is a few bytes: it must leave at once, not wait for the
    // acknowledgement of the one before.
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        code = errno;
        ::close(fd);
        return Failed(error, code, where, std::strerror(code));
    }
    return static_cast<PortHandle>(fd);
}

void NativeCloseDevice(PortHandle port) { ::close(static_cast<int>(port)); }

void NativeCloseSocket(PortHandle port) {
    // Both ways at once, so that a serial server frees its line for the next client.
    ::shutdown(static_cast<int>(port), SHUT_RDWR);
    ::close(static_cast<int>(port));
}

}  // namespace q31
