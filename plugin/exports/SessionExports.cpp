// The context API: sessions a host opens, one per meter, and their requests.
// Each function only checks its pointers and forwards to the session.
#include <cstddef>
#include <new>

#include "plugin/ContextSession.h"
#include "plugin/exports/HostTraceSink.h"
#include "publicQ31.h"
#include "runtime/MessageLoop.h"

// The opaque handle a host holds is the session itself.
struct q31_session : q31::ContextSession {
    using ContextSession::ContextSession;
    q31::HostTraceSink trace;  // the host's trace handler of this session's line
};

using q31::ContextCallback;
using q31::RequestId;

namespace {

// The callback in the member of the union its type belongs to.
template <auto Member, typename Callback>
ContextCallback In(Callback f) {
    ContextCallback c{};
    c.*Member = f;
    return c;
}
ContextCallback Wrap(q31_ident_cb f) { return In<&ContextCallback::ident>(f); }
ContextCallback Wrap(q31_count_cb f) { return In<&ContextCallback::count>(f); }
ContextCallback Wrap(q31_module_record_cb f) { return In<&ContextCallback::moduleRecord>(f); }
ContextCallback Wrap(q31_current_data_cb f) { return In<&ContextCallback::currentData>(f); }
ContextCallback Wrap(q31_accumulated_data_cb f) { return In<&ContextCallback::accumulatedData>(f); }
ContextCallback Wrap(q31_archive_count_cb f) { return In<&ContextCallback::archiveCount>(f); }
ContextCallback Wrap(q31_series_cb f) { return In<&ContextCallback::series>(f); }
ContextCallback Wrap(q31_words_cb f) { return In<&ContextCallback::words>(f); }
ContextCallback Wrap(q31_records_cb f) { return In<&ContextCallback::records>(f); }

template <typename Callback>
int Start(q31_session* session, RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second,
          Callback callback, void* user) {
    if (!session) return Q31_ERR_SESSION;
    if (!callback) return Q31_ERR_ARGUMENT;
    return session->Start(id, dev, first, second, Wrap(callback), user);
}

}  // namespace

extern "C" {

Q31_API void Q31_CALL q31_options_init(q31_options* options) {
    if (options) *options = q31::ContextSession::Defaults();
}

Q31_API q31_session* Q31_CALL q31_session_open(Q31PortHandle port, const q31_options* options) {
    const q31_options chosen = options ? *options : q31::ContextSession::Defaults();
    if (!q31::ContextSession::Valid(chosen)) return nullptr;
    // The one allocation of a session; its requests allocate nothing.
    return new (std::nothrow) q31_session(static_cast<q31::PortHandle>(port), chosen, q31::MessageLoop::Main());
}

Q31_API void Q31_CALL q31_session_close(q31_session* session) { delete session; }

Q31_API int Q31_CALL q31_cancel(q31_session* session) {
    if (!session) return Q31_ERR_SESSION;
    session->Cancel();
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
    return Start(session, RequestId::ArhiveCount, dev, 0, 0, callback, user);
}
Q31_API int Q31_CALL q31_get_archive_series(q31_session* session, const SDevIdent* dev, q31_series series,
                                            uint32_t module, uint32_t start, q31_series_cb callback, void* user) {
    const int n = static_cast<int>(series);
    if (session && (n < 0 || n >= q31::kArchiveSeriesCount)) return Q31_ERR_ARGUMENT;
    return Start(session, q31::ArchiveSeriesRequest(n), dev, module, start, callback, user);
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
    if (!session) return Q31_ERR_SESSION;
    session->trace.SetHandler(handler, user);
    session->Session.PublicNetKs_6x61.OnTrace =
        handler ? q31::TPublicNetKs::TraceEvent::Bind<&q31::HostTraceSink::Report>(&session->trace) : nullptr;
    return Q31_OK;
}

Q31_API const char* Q31_CALL q31_strerror(int status) {
    switch (status) {
        case Q31_OK: return "success";
        case Q31_ERR_SESSION: return "no session";
        case Q31_ERR_DEVICE_TYPE: return "device type is not 5120";
        case Q31_ERR_ARGUMENT: return "argument out of range";
        case Q31_ERR_BUSY: return "a request is already in progress";
        case Q31_OTHER_METER: return "another meter answered";
        case Q31_NO_ANSWER: return "no answer from the meter";
        case Q31_PORT_ERROR: return "port error";
        case Q31_BEYOND_NEWEST: return "archive start beyond the newest record";
        default: return "unknown status";
    }
}

}  // extern "C"
