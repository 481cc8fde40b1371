// A pseudo-terminal pair for the virtual meter.
//
// The meter side works on the master descriptor; a host program opens the
// slave path (/dev/pts/N) as if it were a serial port. Both sides are put in
// raw mode so every byte passes unchanged: no echo, no CR/LF translation, no
// line editing, no signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace q31 {

struct PtyPair {
    int master = -1;        // meter side; non-blocking, close-on-exec
    int slaveHold = -1;     // a slave descriptor the meter keeps open, so the
                            // master does not see a hang-up while no host has
                            // the line open
    std::string slavePath;  // what the host opens
};

// Creates a pair. Returns false (and leaves `pty` closed) when the system
// cannot allocate a pseudo-terminal.
bool PtyOpen(PtyPair& pty);

// Closes both descriptors and clears the path. Safe on a closed pair.
void PtyClose(PtyPair& pty);

// Reads up to `n` bytes from `fd`, waiting at most `timeoutMs` for the first
// byte (0: do not wait). Returns the count read (> 0), 0 when nothing arrived
// in time, or -1 on an error or end of file.
int PtyRead(int fd, std::uint8_t* buf, std::size_t n, int timeoutMs);

// Writes all `n` bytes, waiting at most `timeoutMs` in total for room in the
// line. Returns true when every byte went out.
bool PtyWrite(int fd, const std::uint8_t* data, std::size_t n, int timeoutMs);

// Drops whatever input is queued on `fd` without waiting.
void PtyDiscardInput(int fd);

}  // namespace q31
