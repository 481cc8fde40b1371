#include "tools/winhost/WinHostRemote.h"

#include <cstring>

#include "publicQ31.h"
#include "tools/winhost/WinHostReport.h"
#include "tools/winhost/WinHostSlot.h"

namespace q31::winhost {

namespace {

constexpr int kReplyWaitMs = 60000;

struct Answer {
    int status = -1;
    SDevIdent ident{};
    std::uint32_t count = 0;
};

void Q31_CALL OnIdent(const q31_result* r, const SDevIdent* ident, void* user) {
    auto* a = static_cast<Answer*>(user);
    if (ident) a->ident = *ident;
    a->status = r->status;
}

void Q31_CALL OnSeries(const q31_result* r, const void*, uint32_t count, uint32_t, void* user) {
    auto* a = static_cast<Answer*>(user);
    a->count = count;
    a->status = r->status;
}

template <typename F>
F Find(const DynamicLibrary& dll, const char* name) {
    F f = reinterpret_cast<F>(dll.Symbol(name));
    Check(f != nullptr, "export %s", name);
    return f;
}

}  // namespace

void RemoteRun(const DynamicLibrary& dll, const Options& o) {
    const auto portOpen = Find<decltype(&::q31_port_open)>(dll, "q31_port_open");
    const auto portClose = Find<decltype(&::q31_port_close)>(dll, "q31_port_close");
    const auto portError = Find<decltype(&::q31_port_error)>(dll, "q31_port_error");
    const auto sessionOpen = Find<decltype(&::q31_session_open)>(dll, "q31_session_open");
    const auto sessionClose = Find<decltype(&::q31_session_close)>(dll, "q31_session_close");
    const auto getId = Find<decltype(&::q31_get_id)>(dll, "q31_get_id");
    const auto getSeries = Find<decltype(&::q31_get_archive_series)>(dll, "q31_get_archive_series");
    if (!portOpen || !portClose || !portError || !sessionOpen || !sessionClose || !getId || !getSeries) return;

    Q31PortHandle port = 0;
    char why[200] = {};
    int r = portOpen(o.port.c_str(), nullptr, &port);
    if (r != Q31_OK) portError(why, sizeof why);
    if (!Check(r == Q31_OK && port != 0, "q31_port_open(%s) returns Q31_OK (got %d: %s)", o.port.c_str(), r, why))
        return;
    q31_session* session = sessionOpen(port, nullptr);
    Check(session != nullptr, "q31_session_open on the network port");
    Answer id;
    r = session ? getId(session, &OnIdent, &id) : -1;
    PumpUntil(kReplyWaitMs, [&] { return id.status >= 0; });
    Check(r == Q31_OK && id.status == Q31_OK && id.ident.SerialNumber == o.serial,
          "q31_get_id over the network: serial %u (want %u), status %d", id.ident.SerialNumber, o.serial, id.status);
    Answer series;
    r = session ? getSeries(session, &id.ident, Q31_SERIES_E_HOUR, 1, 0, &OnSeries, &series) : -1;
    PumpUntil(kReplyWaitMs, [&] { return series.status >= 0; });
    Check(r == Q31_OK && series.status == Q31_OK && series.count == 1080,
          "the hourly E series over the network: %u values (want the ring's 1080), status %d", series.count,
          series.status);
    if (session) sessionClose(session);
    Check(portClose(port) == Q31_OK && portClose(port) == Q31_ERR_ARGUMENT,
          "q31_port_close closes the port once; a second close is refused");

    // A port on which nothing listens: refused at once, and said so.
    r = portOpen("tcp://127.0.0.1:1", nullptr, &port);
    const int osError = portError(why, sizeof why);
    Check(r == Q31_ERR_PORT_OPEN && port == 0 && osError != 0 && std::strstr(why, "127.0.0.1:1") != nullptr,
          "a refused connection is Q31_ERR_PORT_OPEN with the reason: %s (%d)", why, osError);
}

}  // namespace q31::winhost
