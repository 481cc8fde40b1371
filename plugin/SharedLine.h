// The turns of the sessions that share one port. An RS-485 line carries one
// exchange at a time, and every session reads whatever comes back on the
// port, so a request on a line that another session is using waits until
// that session's request has ended; the waiting ones go first come, first
// served.
//
// A request that ends while an answer to one of its sends may still come
// (its packet timed out and was sent again, or it was cancelled) leaves the
// line quiet until that answer can no longer come: sent behind it, the next
// session's packet would meet it on the line.
//
// A waiting request is its session's LineTurn, linked into the line's queue:
// taking a turn allocates nothing. The queue is guarded by the line's own
// lock; handlers are called with no lock held, so a turn's handler may start
// traffic, and a host's trace handler behind it may call back into the API.
// Leave, Close and the quiet timer run on the sessions' message-loop thread.
#pragma once

#include <mutex>

#include "runtime/Delegate.h"
#include "runtime/MessageLoop.h"
#include "runtime/TTimer.h"

namespace q31 {

class SharedLine;

// One session's place on its line: holding it, waiting for it, or neither.
class LineTurn {
public:
    // The line has become this turn's after it waited: start the request.
    Delegate<void()> OnTurn;
    // Whether an answer to one of this turn's sends may still come.
    Delegate<bool()> Unsettled;

private:
    friend class SharedLine;
    LineTurn* next_ = nullptr;
    bool queued_ = false;
};

class SharedLine {
public:
    // How often a quiet line asks whether the answers it waits out are past.
    static constexpr unsigned kQuietPollMs = 5;

    explicit SharedLine(MessageLoop& loop = MessageLoop::Main());
    SharedLine(const SharedLine&) = delete;
    SharedLine& operator=(const SharedLine&) = delete;

    // True when the line was free and `turn` now holds it; otherwise `turn`
    // waits at the end of the queue and its OnTurn runs when the line is its.
    // A turn that holds the line or waits already keeps its place. The turn
    // whose answers a quiet line waits out takes it again at once while no
    // other turn waits.
    bool Take(LineTurn& turn);

    // `turn` gives the line up or leaves the queue; a turn that is neither
    // changes nothing. When it held the line and nothing more can come for
    // it, the first turn waiting gets the line and its OnTurn runs before
    // Leave returns; otherwise the line stays quiet until it is settled.
    void Leave(LineTurn& turn);

    // As Leave, for a turn that goes away: the line waits for it no longer.
    void Close(LineTurn& turn);

private:
    // With the lock held: the first turn waiting, out of the queue.
    LineTurn* PopFirst();
    void PollQuiet();
    // The line passes to the first turn waiting, if any.
    void HandOn();

    mutable std::mutex mutex_;
    LineTurn* holder_ = nullptr;
    LineTurn* quiet_ = nullptr;  // the turn whose answers the line waits out
    LineTurn* first_ = nullptr;
    LineTurn* last_ = nullptr;
    TTimer quietTimer_;
};

}  // namespace q31
