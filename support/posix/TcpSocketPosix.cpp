#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "support/TcpSocket.h"
#include "support/posix/PolledWrite.h"

namespace q31 {

namespace {

// The meter's packets are small and each waits for its answer: no Nagle delay.
void NoDelay(int fd) {
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

addrinfo* Resolve(const std::string& host, int port, bool passive) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return nullptr;
    return found;
}

}  // namespace

int TcpListen(const std::string& host, int port, std::string* error) {
    addrinfo* found = Resolve(host, port, true);
    if (!found) {
        if (error) *error = "cannot resolve " + host;
        return -1;
    }
    int fd = -1;
    int lastErrno = 0;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        const int on = 1;
        (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // A fleet connects at once: a backlog of the system's maximum.
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            lastErrno = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0 && error)
        *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(lastErrno);
    return fd;
}

int TcpLocalPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return 0;
}

int TcpAccept(int listener) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            NoDelay(fd);
            return fd;
        }
        // A connection the peer reset before it was taken: the next may be good.
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return -1;
    }
}

int TcpConnect(const std::string& host, int port, int timeoutMs) {
    addrinfo* found = Resolve(host, port, false);
    if (!found) return -1;
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        bool connected = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0;
        if (!connected && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int soError = 0;
            socklen_t len = sizeof soError;
            connected = ::poll(&p, 1, timeoutMs) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 &&
                        soError == 0;
        }
        if (!connected) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) NoDelay(fd);
    return fd;
}

bool SocketPairOpen(int fds[2]) {
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0;
}

void SocketClose(int fd) {
    if (fd >= 0) ::close(fd);
}

int SocketReadSome(int fd, std::uint8_t* out, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::recv(fd, out, capacity, 0);
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return -1;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool SocketWriteAll(int fd, const std::uint8_t* data, std::size_t count, int timeoutMs) {
    return posix::PolledWrite(fd, data, count, timeoutMs, true);
}

bool WaitReadable(std::vector<SocketPoll>& fds, int timeoutMs) {
    std::vector<pollfd> p(fds.size());
    for (std::size_t i = 0; i < fds.size(); ++i) p[i] = {fds[i].fd, POLLIN, 0};
    const int rc = ::poll(p.data(), p.size(), timeoutMs);
    if (rc < 0 && errno != EINTR) return false;
    for (std::size_t i = 0; i < fds.size(); ++i)
        fds[i].readable = rc > 0 && (p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return true;
}

void IgnoreBrokenPipes() { (void)::signal(SIGPIPE, SIG_IGN); }

}  // namespace q31
