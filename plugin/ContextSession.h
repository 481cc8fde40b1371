// A session of the context API: one meter session, the options it was
// opened with, and the callback of the request in flight.
//
// Unlike the legacy form it refuses a request while one is in flight,
// bounds the re-sends, reports a port that cannot be written, and ends
// every started request with exactly one callback carrying the host's
// context pointer and how the request ended.
//
// Sessions opened on one port share its line: a request started while
// another session's request has the line waits its turn (SharedLine), with
// its arguments kept here, and nothing is sent for it until then.
#pragma once

#include <cstdint>

#include "plugin/MeterSession.h"
#include "plugin/SharedLine.h"
#include "publicQ31.h"

namespace q31 {

class ContextSession {
public:
    // `line`: the turns of every session on `port`; it outlives the session.
    ContextSession(PortHandle port, const q31_options& options, SharedLine& line,
                   MessageLoop& loop = MessageLoop::Main());
    ~ContextSession();
    ContextSession(const ContextSession&) = delete;
    ContextSession& operator=(const ContextSession&) = delete;

    // Whether every option lies in its range and the reserved bytes are zero.
    static bool Valid(const q31_options& options);
    static q31_options Defaults();

    // Starts `id` (Q31_OK) or refuses it with a Q31_ERR_ status. The
    // callback is of the type the row's shape calls; not null.
    // Started means sent now, or queued until the line is this session's.
    int Start(RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second, ContextCallback callback,
              void* user);
    // Ends the request in flight, or takes a waiting one out of the queue.
    void Cancel();
    // The line trace of this session's exchanges; null: none.
    void SetTrace(TPublicNetKs::TraceEvent trace) { Session.SetTrace(trace); }

    MeterSession Session;

private:
    void Result(const RequestRow* row, RequestOutcome outcome);
    // The line is this session's: the kept request goes out.
    void Begin();
    bool LineUnsettled();

    SharedLine& line_;
    LineTurn turn_;
    ContextCallback callback_{};
    void* user_ = nullptr;
    bool waiting_ = false;  // a started request has not called back
    // The request as started, for when its turn comes.
    RequestId id_{};
    SDevIdent dev_{};
    bool hasDev_ = false;
    std::uint32_t first_ = 0;
    std::uint32_t second_ = 0;
};

}  // namespace q31
