// The whole of a block written to a non-blocking descriptor, waiting for
// room as long as the deadline allows: a pseudo-terminal's or a socket's
// buffer may be full when a reply goes out.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace q31::posix {

inline std::int64_t SteadyNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// `socket`: sent with MSG_NOSIGNAL, so a peer that has gone is an error here
// rather than a SIGPIPE that ends the program.
inline bool PolledWrite(int fd, const std::uint8_t* data, std::size_t count, int timeoutMs, bool socket) {
    const std::int64_t deadline = SteadyNowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put =
            socket ? ::send(fd, data + done, count - done, MSG_NOSIGNAL) : ::write(fd, data + done, count - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const std::int64_t left = deadline - SteadyNowMs();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
}

}  // namespace q31::posix
