#include "support/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "support/posix/PolledWrite.h"

namespace q31 {

namespace {

bool MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool SlaveName(int master, std::string& out) {
#if defined(__linux__)
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) return false;
    out = name;
#else
    const char* name = ::ptsname(master);
    if (name == nullptr) return false;
    out = name;
#endif
    return true;
}

}  // namespace

bool PtyOpen(PtyPair& pty) {
    PtyClose(pty);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) return false;
    std::string path;
    int slave = -1;
    bool ok = ::grantpt(master) == 0 && ::unlockpt(master) == 0 && SlaveName(master, path);
    if (ok) {
        slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ok = slave >= 0;
    }
    // Raw on both ends: the slave's settings govern what the host sees, the
    // master's keep the meter side from translating anything either.
    ok = ok && MakeRaw(slave);
    if (ok) MakeRaw(master);  // not every system allows this on a master; harmless if refused
    ok = ok && ::fcntl(master, F_SETFD, FD_CLOEXEC) == 0;
    if (ok) {
        const int flags = ::fcntl(master, F_GETFL);
        ok = flags >= 0 && ::fcntl(master, F_SETFL, flags | O_NONBLOCK) == 0;
    }
    if (!ok) {
        if (slave >= 0) ::close(slave);
        ::close(master);
        return false;
    }
    pty.master = master;
    pty.slaveHold = slave;
    pty.slavePath = path;
    return true;
}

void PtyClose(PtyPair& pty) {
    if (pty.slaveHold >= 0) ::close(pty.slaveHold);
    if (pty.master >= 0) ::close(pty.master);
    pty.slaveHold = -1;
    pty.master = -1;
    pty.slavePath.clear();
}

int PtyRead(int fd, std::uint8_t* buf, std::size_t n, int timeoutMs) {
    if (fd < 0 || buf == nullptr || n == 0) return -1;
    const std::int64_t deadline = posix::SteadyNowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        // Wait first and read only when poll says there is something, so a
        // blocking descriptor (stdin of the runner) never blocks here.
        const std::int64_t left = deadline - posix::SteadyNowMs();
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (ready == 0) return 0;
        if (!(p.revents & POLLIN)) return -1;  // hang-up or error with nothing to read
        const ssize_t got = ::read(fd, buf, n);
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return -1;  // end of file
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            if (deadline - posix::SteadyNowMs() <= 0) return 0;
            continue;
        }
        return -1;
    }
}

bool PtyWrite(int fd, const std::uint8_t* data, std::size_t n, int timeoutMs) {
    if (fd < 0) return false;
    return posix::PolledWrite(fd, data, n, timeoutMs, false);
}

void PtyDiscardInput(int fd) {
    if (fd < 0) return;
    ::tcflush(fd, TCIFLUSH);
    // Bounded: a peer that keeps sending cannot hold the caller here.
    std::uint8_t scratch[512];
    for (int round = 0; round < 64; ++round) {
        if (PtyRead(fd, scratch, sizeof scratch, 0) <= 0) break;
    }
}

}  // namespace q31
