// The channel's reader for the session fuzzer: no worker thread. A read is
// handed to the session's line (FakeLine), which fills it from the bytes that
// arrive as the manual clock moves and posts its end to the message loop, on
// the same thread, as the real reader's worker would from its own.
#include "fuzz/FakeLine.h"
#include "serial/TReadThread.h"

namespace q31 {

TReadThread::~TReadThread() { Abort(); }

void TReadThread::Start(PortHandle port, std::uint8_t* target, std::size_t count, int* bytesRead, int timeoutMs,
                        MessageLoop& loop, Handover& done) {
    if (bytesRead) *bytesRead = 0;
    fuzz::FakeLine* line = fuzz::FakeLine::Current();
    if (!line) {
        // No session: the read ends at once with nothing, like one without a port.
        loop.Post(done);
        return;
    }
    line->StartRead(this, port, target, count, bytesRead, timeoutMs, loop, done);
}

void TReadThread::Abort() {
    if (fuzz::FakeLine* line = fuzz::FakeLine::Current()) line->AbortRead(this);
}

// The line never fails the way a port can.
int TReadThread::LastError() const { return error_; }

bool TReadThread::Busy() const {
    const fuzz::FakeLine* line = fuzz::FakeLine::Current();
    return line && line->Reading(this);
}

}  // namespace q31
