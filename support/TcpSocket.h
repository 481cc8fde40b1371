// TCP for the virtual meter's remote lines and the collector's modems: a
// listener, a client that dials, byte transfers that never block for long,
// and a socket pair that stands in for a port. Descriptors are non-blocking
// and close-on-exec; writes to a peer that went away fail instead of raising
// a signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace q31 {

// "HOST:PORT", "[V6]:PORT" or "tcp://HOST:PORT" (a bare ":PORT" or "PORT"
// means 127.0.0.1). False when the text is none of these or the port is not
// 0..65535.
bool SplitHostPort(const std::string& text, std::string& host, int& port);

// Binds and listens on `host`:`port` (port 0: any free one). Returns the
// descriptor, or -1 with the reason in *error.
int TcpListen(const std::string& host, int port, std::string* error);
// The port a descriptor is bound to; 0 when unknown.
int TcpLocalPort(int fd);
// Takes one waiting connection; -1 when none is waiting.
int TcpAccept(int listener);
// Connects to `host`:`port`, waiting at most `timeoutMs`; -1 when it cannot.
int TcpConnect(const std::string& host, int port, int timeoutMs);

// A connected pair of stream sockets in `fds`; false when the system refuses.
bool SocketPairOpen(int fds[2]);
void SocketClose(int fd);

// Reads what has arrived, without waiting: the count (> 0), 0 when nothing
// is there yet, -1 when the peer closed or the socket failed.
int SocketReadSome(int fd, std::uint8_t* out, std::size_t capacity);
// Writes all `count` bytes, waiting at most `timeoutMs` for room; false when
// the socket failed or stayed full.
bool SocketWriteAll(int fd, const std::uint8_t* data, std::size_t count, int timeoutMs);

// One descriptor to wait on, and what it turned out to be.
struct SocketPoll {
    int fd = -1;
    bool readable = false;  // data, a connection to take, or the peer's end
};
// Waits up to `timeoutMs` for any of `fds` to become readable. False on an
// error of the wait itself.
bool WaitReadable(std::vector<SocketPoll>& fds, int timeoutMs);

// Writes to a closed socket fail with an error rather than end the process.
void IgnoreBrokenPipes();

}  // namespace q31
