// The port functions for the session fuzzer: every handle is the session's
// in-process line (FakeLine), so the channel's purge and write run unchanged
// and nothing touches the operating system.
#include <cerrno>
#include <cstdint>

#include "fuzz/FakeLine.h"
#include "platform/SerialPort.h"

namespace q31 {

// As on POSIX: descriptors are not negative.
const PortHandle kNoPort = -1;

bool PortUsable(PortHandle port) { return port >= 0 && port <= INT32_MAX; }

bool PortWrite(PortHandle port, const std::uint8_t* data, std::size_t count, int* osError) {
    fuzz::FakeLine* line = fuzz::FakeLine::Current();
    if (line && line->Write(port, data, count)) return true;
    // Only a handle that is not the session's line fails.
    if (osError) *osError = EBADF;
    return false;
}

void PortPurgeInput(PortHandle port) {
    if (fuzz::FakeLine* line = fuzz::FakeLine::Current()) line->Purge(port);
}

std::size_t PortTakePending(PortHandle port, std::uint8_t* out, std::size_t capacity) {
    fuzz::FakeLine* line = fuzz::FakeLine::Current();
    return line ? line->TakePending(port, out, capacity) : 0;
}

// The fake line delivers bytes when the clock reaches them, at no line
// speed; the link then counts a character as 1 ms.
int PortCharTimeMicros(PortHandle) { return 0; }

// The channel reads through TReadThread (FakeReadThread.cpp), which goes to
// the line directly; a PortReader only has to exist.
// It has no wake-up object to make.
PortReader::PortReader() { wake_[0] = wake_[1] = -1; }
PortReader::~PortReader() = default;

std::size_t PortReader::Read(PortHandle, std::uint8_t*, std::size_t, int) { return 0; }

void PortReader::Cancel() { cancelled_.store(true, std::memory_order_release); }

void PortReader::Reset() { cancelled_.store(false, std::memory_order_release); }

}  // namespace q31
