// The context API: sessions a host opens, one per meter, and their requests.
// Each function only checks its handle and arguments and forwards to the session.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

#include "plugin/ContextSession.h"
#include "plugin/exports/HostTraceSink.h"
#include "publicQ31.h"
#include "runtime/MessageLoop.h"

using q31::ContextCallback;
using q31::RequestId;

namespace {

// What a handle names: the session and the host's trace handler of its line,
// which outlives the session because ending it still reports on the line.
struct OpenSession {
    OpenSession(q31::PortHandle port, const q31_options& options, q31::SharedLine& line)
        : port(port), context(port, options, line, q31::MessageLoop::Main()) {}
    q31::PortHandle port;
    q31::HostTraceSink trace;
    q31::ContextSession context;
};

// The line of one port and how many open sessions use it.
struct PortLine {
    q31::SharedLine line;
    int sessions = 0;
};

// The open sessions, by handle. A handle is a number handed out once, not an
// address: a closed handle, a never-opened one or a stray pointer names no
// session, even once a newer session has taken the closed one's memory. The
// lock keeps the table whole should sessions be opened and closed on several
// threads; a session itself is used on the exports' thread only. Beside the
// sessions lie the lines of their ports: sessions on one port take turns on it.
class SessionTable {
public:
    q31_session* Open(q31::PortHandle port, const q31_options& options) {
        std::lock_guard<std::mutex> lock(mutex_);
        do {
            ++last_;
        } while (last_ == 0 || open_.count(last_) != 0);
        try {
            // The session lives in the table's node, and a port's line in
            // its own: allocations of an open, never of a request.
            PortLine& line = lines_[port];
            ++line.sessions;
            try {
                open_.try_emplace(last_, port, options, line.line);
            } catch (const std::bad_alloc&) {
                Release(port);
                throw;
            }
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        return reinterpret_cast<q31_session*>(last_);
    }

    OpenSession* Find(q31_session* handle) {
        if (!handle) return nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto at = open_.find(reinterpret_cast<Key>(handle));
        return at == open_.end() ? nullptr : &at->second;
    }

    bool Close(q31_session* handle) {
        if (!handle) return false;
        Table::node_type closing;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto at = open_.find(reinterpret_cast<Key>(handle));
            if (at == open_.end()) return false;
            closing = open_.extract(at);
        }
        // The session ends outside the lock: ending its exchange calls the
        // host's trace handler, which may call back into this table. Its
        // line stays until it has left it.
        const q31::PortHandle port = closing.mapped().port;
        closing = Table::node_type();
        std::lock_guard<std::mutex> lock(mutex_);
        Release(port);
        return true;
    }

private:
    using Key = std::uintptr_t;
    using Table = std::unordered_map<Key, OpenSession>;

    // With the lock held: one session fewer on `port`.
    void Release(q31::PortHandle port) {
        const auto at = lines_.find(port);
        if (at != lines_.end() && --at->second.sessions == 0) lines_.erase(at);
    }

    std::mutex mutex_;
    Table open_;
    std::unordered_map<q31::PortHandle, PortLine> lines_;
    Key last_ = 0;
};

// Never destroyed: a session a host leaves open at exit must not be ended
// after the message loop it runs on.
SessionTable& Sessions() {
    static SessionTable* const table = new SessionTable;
    return *table;
}

template <typename Callback>
int Start(OpenSession* session, RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second,
          Callback callback, void* user) {
    if (!session) return Q31_ERR_SESSION;
    if (!callback) return Q31_ERR_ARGUMENT;
    return session->context.Start(id, dev, first, second, ContextCallback::Of(callback), user);
}
template <typename Callback>
int Start(q31_session* handle, RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second,
          Callback callback, void* user) {
    return Start(Sessions().Find(handle), id, dev, first, second, callback, user);
}

}  // namespace

extern "C" {

Q31_API void Q31_CALL q31_options_init(q31_options* options) {
    if (options) *options = q31::ContextSession::Defaults();
}

Q31_API int Q31_CALL q31_options_check(const q31_options* options) {
    return options && q31::ContextSession::Valid(*options) ? Q31_OK : Q31_ERR_ARGUMENT;
}

Q31_API q31_session* Q31_CALL q31_session_open(Q31PortHandle port, const q31_options* options) {
    const q31_options chosen = options ? *options : q31::ContextSession::Defaults();
    if (!q31::ContextSession::Valid(chosen)) return nullptr;
    // The one allocation of a session; its requests allocate nothing.
    return Sessions().Open(static_cast<q31::PortHandle>(port), chosen);
}

Q31_API int Q31_CALL q31_session_close(q31_session* session) {
    return Sessions().Close(session) ? Q31_OK : Q31_ERR_SESSION;
}

Q31_API int Q31_CALL q31_cancel(q31_session* session) {
    OpenSession* const open = Sessions().Find(session);
    if (!open) return Q31_ERR_SESSION;
    open->context.Cancel();
    return Q31_OK;
}

Q31_API int Q31_CALL q31_get_id(q31_session* session, q31_ident_cb callback, void* user) {
    return Start(session, RequestId::ID, nullptr, 0, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_module_count(q31_session* session, const SDevIdent* dev, q31_count_cb callback,
                                          void* user) {
    return Start(session, RequestId::ModuleCount, dev, 0, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_module_record(q31_session* session, const SDevIdent* dev, uint32_t module,
                                           q31_module_record_cb callback, void* user) {
    return Start(session, RequestId::ModuleRecord, dev, module, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_current_data(q31_session* session, const SDevIdent* dev, q31_current_data_cb callback,
                                          void* user) {
    return Start(session, RequestId::CurrentData, dev, 0, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_accumulated_data(q31_session* session, const SDevIdent* dev,
                                              q31_accumulated_data_cb callback, void* user) {
    return Start(session, RequestId::AccumulatedData, dev, 0, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_archive_count(q31_session* session, const SDevIdent* dev, q31_archive_count_cb callback,
                                           void* user) {
    return Start(session, RequestId::ArchiveCount, dev, 0, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_archive_series(q31_session* session, const SDevIdent* dev, q31_series series,
                                            uint32_t module, uint32_t start, q31_series_cb callback, void* user) {
    OpenSession* const open = Sessions().Find(session);
    const int n = static_cast<int>(series);
    if (open && (n < 0 || n >= q31::kArchiveSeriesCount)) return Q31_ERR_ARGUMENT;
    return Start(open, q31::ArchiveSeriesRequest(n), dev, module, start, callback, user);
}
Q31_API int Q31_CALL q31_get_error_head_device(q31_session* session, const SDevIdent* dev, q31_words_cb callback,
                                               void* user) {
    return Start(session, RequestId::ErrorHDev, dev, 0, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_error_head_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                               q31_words_cb callback, void* user) {
    return Start(session, RequestId::ErrorHModule, dev, module, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_error_block_device(q31_session* session, const SDevIdent* dev, uint32_t block,
                                                q31_records_cb callback, void* user) {
    return Start(session, RequestId::ErrorDataDev, dev, block, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_error_block_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                                uint32_t block, q31_records_cb callback, void* user) {
    return Start(session, RequestId::ErrorDataModule, dev, module, block, callback, user);
}
Q31_API int Q31_CALL q31_get_edit_head_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                              q31_words_cb callback, void* user) {
    return Start(session, RequestId::EditHModule, dev, module, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_edit_block_module(q31_session* session, const SDevIdent* dev, uint32_t module,
                                               q31_records_cb callback, void* user) {
    return Start(session, RequestId::EditDataModule, dev, module, 0, callback, user);
}

Q31_API int Q31_CALL q31_session_set_trace(q31_session* session, TQ31TraceHandler handler, void* user) {
    OpenSession* const open = Sessions().Find(session);
    if (!open) return Q31_ERR_SESSION;
    open->trace.SetHandler(handler, user);
    open->context.SetTrace(handler ? q31::TPublicNetKs::TraceEvent::Bind<&q31::HostTraceSink::Report>(&open->trace)
                                   : nullptr);
    return Q31_OK;
}

Q31_API int32_t Q31_CALL q31_quiet_bound_ms(const q31_options* options) {
    return options && q31::ContextSession::Valid(*options) ? q31::ContextSession::QuietBoundMs(*options) : 0;
}

Q31_API int Q31_CALL q31_probe_id(q31_session* session, q31_ident_cb callback, void* user) {
    OpenSession* const open = Sessions().Find(session);
    if (!open) return Q31_ERR_SESSION;
    if (!callback) return Q31_ERR_ARGUMENT;
    return open->context.StartProbe(ContextCallback::Of(callback), user);
}

Q31_API int Q31_CALL q31_service(q31_session* session, uint32_t command, uint32_t first, uint32_t second,
                                 q31_bytes_cb callback, void* user) {
    OpenSession* const open = Sessions().Find(session);
    if (!open) return Q31_ERR_SESSION;
    if (!callback) return Q31_ERR_ARGUMENT;
    return open->context.StartService(command, first, second, ContextCallback::Of(callback), user);
}

Q31_API const char* Q31_CALL q31_strerror(int status) {
    switch (status) {
        case Q31_OK: return "success";
        case Q31_ERR_SESSION: return "no such session";
        case Q31_ERR_DEVICE_TYPE: return "device type is not 5120";
        case Q31_ERR_ARGUMENT: return "argument out of range";
        case Q31_ERR_BUSY: return "a request is already in progress";
        case Q31_OTHER_METER: return "another meter answered";
        case Q31_NO_ANSWER: return "no answer from the meter";
        case Q31_PORT_ERROR: return "port error";
        case Q31_BEYOND_NEWEST: return "archive start beyond the newest record";
        case Q31_ERR_PORT_OPEN: return "the port could not be opened";
        default: return "unknown status";
    }
}

}  // extern "C"
