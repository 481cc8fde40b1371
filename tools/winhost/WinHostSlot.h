// The host's side of the slot record: its stdcall callbacks, what they
// received, and the message loop they are called from.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "publicQ31.h"
#include "support/WinHost.h"

namespace q31::winhost {

// What the callbacks received.
struct Received {
    int id = 0;
    int moduleCount = 0;
    int moduleRecord = 0;
    int timeOut = 0;
    int unexpected = 0;  // callbacks of requests this host never makes
    int messages = 0;
    SDevIdent ident{};
    const SDevIdent* identAt = nullptr;
    std::uint32_t count = 0;
    SModuleRecord record{};
    std::string text;
    std::string caption;
    bool offThread = false;  // a callback came on another thread than the exports' caller
    std::thread::id hostThread;

    int Results() const { return id + moduleCount + moduleRecord + unexpected + messages; }
    void OnHostThread() {
        if (std::this_thread::get_id() != hostThread) offThread = true;
    }
};

extern Received g;

// What the line trace showed the host.
struct Traced {
    int writes = 0;
    int reads = 0;
    int events = 0;
    bool offThread = false;
    void* user = nullptr;
};
extern Traced g_trace;

void Q31_CALL OnTrace(const TQ31TraceEvent* event, void* user);
void CaptureMessage(const char* text, const char* caption, unsigned);
TQ31Slot MakeSlot(q31::PortHandle port, bool echo, int timeOutMs);

// Runs the host's message loop until `pred` holds or `ms` has passed.
template <typename Pred>
bool PumpUntil(int ms, Pred pred) {
    return PumpWindowMessages(
        ms, [](void* p) { return (*static_cast<Pred*>(p))(); }, &pred);
}

inline void PumpFor(int ms) {
    PumpUntil(ms, [] { return false; });
}

}  // namespace q31::winhost
