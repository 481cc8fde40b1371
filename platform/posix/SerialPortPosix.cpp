#include "platform/SerialPort.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/PortTable.h"
#include "platform/Telnet.h"

namespace q31 {

namespace {

int Fd(PortHandle port) { return static_cast<int>(port); }

// Bytes that can be read right now without blocking.
int Available(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool Fail(int* osError, int code) {
    if (osError) *osError = code;
    return false;
}

}  // namespace

const PortHandle kNoPort = -1;

bool PortUsable(PortHandle port) { return port >= 0 && port <= INT32_MAX; }

namespace {

// A socket is written with send(), so that a peer that has gone away gives
// EPIPE instead of a SIGPIPE that would end the host.
bool WriteAll(int fd, bool socket, const std::uint8_t* data, std::size_t count, int* osError) {
    std::size_t done = 0;
    while (done < count) {
        ssize_t n =
            socket ? ::send(fd, data + done, count - done, MSG_NOSIGNAL) : ::write(fd, data + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, 1000);
            if (ready < 0) return Fail(osError, errno);
            if (ready == 0) return Fail(osError, ETIMEDOUT);
            continue;
        }
        if (n < 0) return Fail(osError, errno);
        if (n == 0) return Fail(osError, EIO);
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A serial server that sends with Nagle's algorithm on (ser2net's default)
// holds the rest of a reply, trickling in at the line's speed, until its last
// segment is acknowledged: a delayed acknowledgement would hold every reply
// up to 40 ms. The socket falls back to delaying acknowledgements by itself,
// so this is said again after every read. A socket that refuses it only
// acknowledges later: the reply still comes, so the refusal is no error.
void AckAtOnce(int fd) {
#ifdef TCP_QUICKACK
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on) != 0) return;
#else
    (void)fd;
#endif
}

// Reads what is queued (at most `capacity`) without waiting; on a telnet
// line only its data bytes are left in `out`. -1 when the read failed.
ssize_t ReadQueued(int fd, OpenedPort* opened, std::uint8_t* out, std::size_t capacity) {
    for (;;) {
        const ssize_t n = ::read(fd, out, capacity);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0 && opened != nullptr && opened->socket) AckAtOnce(fd);
        if (n <= 0 || opened == nullptr || !opened->telnet) return n;
        return static_cast<ssize_t>(opened->decoder.Decode(out, static_cast<std::size_t>(n)));
    }
}

}  // namespace

bool PortWrite(PortHandle port, const std::uint8_t* data, std::size_t count, int* osError) {
    if (!PortUsable(port)) return Fail(osError, EBADF);
    OpenedPort* opened = FindOpenedPort(port);
    const bool socket = opened != nullptr && opened->socket;
    if (opened == nullptr || !opened->telnet) return WriteAll(Fd(port), socket, data, count, osError);
    // Telnet: every data byte 0xFF goes out doubled, a stretch at a time.
    std::uint8_t escaped[512];
    std::size_t done = 0;
    while (done < count) {
        std::size_t taken = 0;
        const std::size_t n = telnet::EscapeData(data + done, count - done, escaped, sizeof escaped, &taken);
        if (!WriteAll(Fd(port), true, escaped, n, osError)) return false;
        done += taken;
    }
    return true;
}

void PortPurgeInput(PortHandle port) {
    if (!PortUsable(port)) return;
    const int fd = Fd(port);
    if (::isatty(fd)) {
        ::tcflush(fd, TCIFLUSH);
        return;
    }
    // A pipe or socket has no input queue to flush: read off what is there
    // (through the telnet decoder, whose state must follow the stream).
    // Bounded, so a peer that never stops sending cannot hold the caller here.
    OpenedPort* opened = FindOpenedPort(port);
    std::unique_lock<std::mutex> lock;
    if (opened) lock = std::unique_lock<std::mutex>(opened->readMutex);
    std::uint8_t scratch[256];
    for (int rounds = 0; rounds < 256; ++rounds) {
        int avail = Available(fd);
        if (avail <= 0) break;
        std::size_t want =
            static_cast<std::size_t>(avail) < sizeof scratch ? static_cast<std::size_t>(avail) : sizeof scratch;
        if (ReadQueued(fd, opened, scratch, want) < 0) break;
    }
}

std::size_t PortTakePending(PortHandle port, std::uint8_t* out, std::size_t capacity) {
    if (!PortUsable(port) || capacity == 0) return 0;
    OpenedPort* opened = FindOpenedPort(port);
    std::unique_lock<std::mutex> lock;
    if (opened) lock = std::unique_lock<std::mutex>(opened->readMutex);
    // Only what is queued, so a blocking descriptor never blocks here. A
    // telnet line may give commands alone: read on while they are all there is.
    for (int rounds = 0; rounds < 16; ++rounds) {
        const int avail = Available(Fd(port));
        if (avail <= 0) return 0;
        const std::size_t want =
            static_cast<std::size_t>(avail) < capacity ? static_cast<std::size_t>(avail) : capacity;
        const ssize_t n = ReadQueued(Fd(port), opened, out, want);
        if (n < 0) return 0;
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return 0;
}

int PortCharTimeMicros(PortHandle port) {
    if (!PortUsable(port)) return 0;
    if (const OpenedPort* opened = FindOpenedPort(port); opened != nullptr && opened->charTimeMicros > 0)
        return opened->charTimeMicros;
    termios t{};
    if (::tcgetattr(Fd(port), &t) != 0) return 0;
    static constexpr struct {
        speed_t code;
        int baud;
    } kSpeeds[] = {{B300, 300},       {B600, 600},       {B1200, 1200},    {B2400, 2400},   {B4800, 4800},
                   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},  {B57600, 57600}, {B115200, 115200},
                   {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    const speed_t code = ::cfgetospeed(&t);
    int baud = 0;
    for (const auto& s : kSpeeds)
        if (s.code == code) baud = s.baud;
    if (baud == 0) return 0;
    int bits = 1;  // start bit
    switch (t.c_cflag & CSIZE) {
        case CS5: bits += 5; break;
        case CS6: bits += 6; break;
        case CS7: bits += 7; break;
        default: bits += 8; break;
    }
    if (t.c_cflag & PARENB) ++bits;
    bits += (t.c_cflag & CSTOPB) ? 2 : 1;
    return static_cast<int>((1000000LL * bits + baud - 1) / baud);
}

PortReader::PortReader() {
    int fds[2];
    if (::pipe(fds) == 0) {
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
        wake_[0] = fds[0];
        wake_[1] = fds[1];
    }
}

PortReader::~PortReader() {
    if (wake_[0] >= 0) ::close(static_cast<int>(wake_[0]));
    if (wake_[1] >= 0) ::close(static_cast<int>(wake_[1]));
}

void PortReader::Cancel() {
    cancelled_.store(true, std::memory_order_release);
    if (wake_[1] >= 0) {
        const std::uint8_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(static_cast<int>(wake_[1]), &one, 1);
    }
}

void PortReader::Reset() {
    cancelled_.store(false, std::memory_order_release);
    if (wake_[0] >= 0) {
        std::uint8_t scratch[16];
        while (::read(static_cast<int>(wake_[0]), scratch, sizeof scratch) > 0) {
        }
    }
}

std::size_t PortReader::Read(PortHandle port, std::uint8_t* target, std::size_t count, int timeoutMs) {
    error_ = 0;
    if (!PortUsable(port)) {
        error_ = EBADF;
        return 0;
    }
    if (count == 0) return 0;
    const int fd = Fd(port);
    OpenedPort* opened = FindOpenedPort(port);
    const std::int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    std::size_t got = 0;
    while (got < count && !cancelled_.load(std::memory_order_acquire)) {
        const std::int64_t left = deadline - NowMs();
        if (left <= 0) break;
        pollfd p[2] = {{fd, POLLIN, 0}, {static_cast<int>(wake_[0]), POLLIN, 0}};
        const int ready = ::poll(p, wake_[0] >= 0 ? 2 : 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error_ = errno;
            break;
        }
        if (ready == 0) break;
        if (p[1].revents) break;  // cancelled
        if (!(p[0].revents & POLLIN)) {
            // Hang-up or error with nothing to read: an unplugged adapter.
            error_ = (p[0].revents & POLLNVAL) ? EBADF : EIO;
            break;
        }
        // Read only what is queued, so a blocking descriptor never blocks here.
        int avail = Available(fd);
        std::size_t want = count - got;
        if (avail > 0 && static_cast<std::size_t>(avail) < want) want = static_cast<std::size_t>(avail);
        if (avail < 0) {
            error_ = errno;
            break;
        }
        if (avail == 0) {
            // Readable but empty: the other end is gone.
            error_ = EIO;
            break;
        }
        std::unique_lock<std::mutex> lock;
        if (opened) lock = std::unique_lock<std::mutex>(opened->readMutex);
        // On a telnet line a read that held only commands leaves nothing: wait on.
        const ssize_t n = ReadQueued(fd, opened, target + got, want);
        if (n < 0 && errno == EAGAIN) continue;
        if (n < 0) error_ = errno;
        if (n < 0 || (n == 0 && (opened == nullptr || !opened->telnet))) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

}  // namespace q31
