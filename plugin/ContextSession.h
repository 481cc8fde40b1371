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

#include "link/SIDDevice.h"
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
    // A scan's identification (q31_probe_id) and a service command
    // (q31_service): exchanges of their own, outside the request table (no
    // identification before them, every packet sent once), taking their
    // turn on the line as the requests do. The callback is a q31_ident_cb
    // or a q31_bytes_cb.
    int StartProbe(ContextCallback callback, void* user);
    int StartService(std::uint32_t command, std::uint32_t first, std::uint32_t second, ContextCallback callback,
                     void* user);
    // What q31_quiet_bound_ms says for `options` (valid ones).
    static std::int32_t QuietBoundMs(const q31_options& options);
    // Ends the request in flight, or takes a waiting one out of the queue.
    void Cancel();
    // The line trace of this session's exchanges; null: none.
    void SetTrace(TPublicNetKs::TraceEvent trace) { Session.SetTrace(trace); }

    MeterSession Session;

private:
    enum class Direct : std::uint8_t { None, Probe, Service };

    int Queue(Direct direct, ContextCallback callback, void* user);
    void Result(const RequestRow* row, RequestOutcome outcome);
    // The ending request's callback and user, taken before the callback
    // runs: it may start the next request, which replaces them.
    struct Taken {
        ContextCallback callback;
        void* user;
    };
    Taken TakeCallback();
    void BeginDirect();
    bool SendService();
    void Probed(SIDDevice* ident);
    void Replied(short length, char* buffer);
    void DirectFailed(TComponent* sender);
    // The direct exchange is over: its callback follows on the next tick,
    // outside the components' handlers.
    void EndDirect(RequestOutcome outcome);
    void DeliverDirect();
    // The link as the session's requests use it, the direct exchange gone.
    void RestoreLink();
    void GuardExpired();
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
    // The direct exchange: which one, its numbers and how it ended.
    Direct direct_ = Direct::None;
    std::uint32_t command_ = 0;
    ConfirmMode confirm_ = ConfirmMode::Off;
    std::int32_t quietBoundMs_ = 0;
    RequestOutcome directOutcome_ = RequestOutcome::Done;
    SDevIdent probed_{};
    std::uint8_t reply_[256] = {};
    std::uint32_t replyLength_ = 0;
    TTimer deliver_;
    // Ends a direct exchange that the link leaves without an event: a reply
    // followed by another, confirmations that keep disagreeing.
    TTimer guard_;
};

}  // namespace q31
