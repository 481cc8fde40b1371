// Byte I/O on a serial port that the host opened and configured.
//
// A PortHandle is what the host put in its slot record: a file descriptor on
// POSIX, a HANDLE on Windows. "No port" is a negative descriptor on POSIX
// (descriptor 0 is a real port for a daemon that closed its standard input
// before it opened the tty), and 0 or INVALID_HANDLE_VALUE on Windows. On no
// port, writes fail and reads end at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace q31 {

struct OpenedPort;

using PortHandle = std::intptr_t;

// The handle a channel holds before the host gives it one.
extern const PortHandle kNoPort;

// Whether `port` can be a port at all (see "no port" above).
bool PortUsable(PortHandle port);

// One synchronous write of the whole block. Returns true when every byte went
// out; otherwise stores the OS's error code (errno, GetLastError) in
// *osError when it is given.
bool PortWrite(PortHandle port, const std::uint8_t* data, std::size_t count, int* osError = nullptr);

// Discards input that arrived before the next request goes out
// (tcflush on a tty, draining on a pipe or socket, PurgeComm on Windows).
void PortPurgeInput(PortHandle port);

// Reads, without waiting, up to `capacity` bytes that have arrived and not
// been read yet into `out`; returns how many. The link reads the line off
// this way before a write, so that nothing is thrown away unseen.
std::size_t PortTakePending(PortHandle port, std::uint8_t* out, std::size_t capacity);

// The time one character takes on the line at the port's settings (start,
// data, parity and stop bits), in microseconds; 0 when the port has no line
// speed (a pipe, a socket) or its settings cannot be read.
int PortCharTimeMicros(PortHandle port);

// A read of up to `count` bytes that another thread can end at once.
//
// Read returns when `count` bytes have arrived, when `timeoutMs` has passed,
// or when Cancel is called, whichever comes first; it reports how many bytes
// it stored. It never blocks longer than `timeoutMs`, whatever blocking mode
// or port time-outs the host left on the handle.
class PortReader {
public:
    PortReader();
    ~PortReader();
    PortReader(const PortReader&) = delete;
    PortReader& operator=(const PortReader&) = delete;

    std::size_t Read(PortHandle port, std::uint8_t* target, std::size_t count, int timeoutMs);
    // The OS's error code of the last Read that ended because the port
    // failed (not by time-out or Cancel); 0 when it did not.
    int LastError() const { return error_; }

    // Any thread: end the Read in progress (or the next one) at once.
    void Cancel();
    // Reader's owner, while no Read runs: forget an earlier Cancel.
    void Reset();

private:
    // Windows: a socket the library opened, which no comm or pipe call reads.
    std::size_t ReadSocket(OpenedPort& port, std::uint8_t* target, std::size_t count, int timeoutMs);

    std::atomic<bool> cancelled_{false};
    int error_ = 0;
    std::intptr_t wake_[2] = {-1, -1};  // platform wake-up object(s)
};

}  // namespace q31
