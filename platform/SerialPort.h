// Byte I/O on a serial port that the host opened and configured.
//
// A PortHandle is what the host put in its slot record: a file descriptor on
// POSIX, a HANDLE on Windows. 0 means "no port": writes fail, reads end at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace q31 {

using PortHandle = std::intptr_t;

// One synchronous write of the whole block. Returns true when every byte went out.
bool PortWrite(PortHandle port, const std::uint8_t* data, std::size_t count);

// Discards input that arrived before the next request goes out
// (tcflush on a tty, draining on a pipe or socket, PurgeComm on Windows).
void PortPurgeInput(PortHandle port);

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

    // Any thread: end the Read in progress (or the next one) at once.
    void Cancel();
    // Reader's owner, while no Read runs: forget an earlier Cancel.
    void Reset();

private:
    std::atomic<bool> cancelled_{false};
    std::intptr_t wake_[2] = {-1, -1};  // platform wake-up object(s)
};

}  // namespace q31
