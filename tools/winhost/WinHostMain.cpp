// q31-winhost: drives publicQ31.dll the way a Windows data-collection host
// does, against a meter on a COM port, and checks what comes back.
//
// It loads the DLL with LoadLibrary, finds every export by its plain name,
// opens and sets up the port itself, hands the library a 112-byte slot record
// of stdcall callbacks and runs a window-message loop on the thread that
// calls the exports. One line per check; exit code 0 only if all passed.
//
//   q31-winhost --port COM5 --serial N [--version-word W] [--modules M]
//               [--echo] [--record I:HEX]... [--dll FILE]
//   q31-winhost --port COM7 --serial N --late-meter
//   q31-winhost --port tcp://HOST:PORT --serial N
//
// --echo: the line echoes what the host sends (slot echo flag 0).
// --record I:HEX: the 32 bytes OnModuleRecord must deliver for module I.
// --late-meter: the meter answers only after a second or more; checks that
//   a new request ends the read still waiting for the old one at once.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/DynamicLibrary.h"
#include "publicQ31.h"
#include "support/WinHost.h"
#include "tools/winhost/WinHostExports.h"
#include "tools/winhost/WinHostOptions.h"
#include "tools/winhost/WinHostRemote.h"
#include "tools/winhost/WinHostReport.h"
#include "tools/winhost/WinHostSlot.h"

namespace {

using namespace q31::winhost;
using q31::PortHandle;

constexpr std::uint16_t kDevType = 5120;
// How long the port lets a blocking ReadFile wait: a library that read the
// way the port is set up would sit this long in a read nobody wants.
constexpr unsigned kPortReadTimeoutMs = 5000;
constexpr int kReplyWaitMs = 5000;

// Threads and message-only windows of the process before the DLL was loaded.
struct Baseline {
    int threads;
    int windows;
};

// Requests that must be refused before anything goes on the line.
void RefusedRequests(const Exports& x, PortHandle port, const SDevIdent& dev, const Baseline& base) {
    const int resultsBefore = g.Results();
    unsigned r = x.GetID();
    Check(r == 1, "GetID before InitSlot returns 1 (got %u)", r);
    r = x.GetModuleCount(&dev);
    Check(r == 1, "GetModuleCount before InitSlot returns 1 (got %u)", r);
    r = x.GetModuleRecord(&dev, 1);
    Check(r == 1, "GetModuleRecord before InitSlot returns 1 (got %u)", r);
    PumpFor(300);
    Check(g.Results() == resultsBefore && ComQueuedInput(port) == 0,
          "before InitSlot nothing was sent: no callback, no reply on the line");

    const TQ31Slot slot = MakeSlot(port, true, 2000);
    x.InitSlot(&slot);
    SDevIdent other = dev;
    other.DevType = 5121;
    r = x.GetModuleCount(&other);
    Check(r == 2, "GetModuleCount with DevType 5121 returns 2 (got %u)", r);
    r = x.GetModuleRecord(&other, 1);
    Check(r == 2, "GetModuleRecord with DevType 5121 returns 2 (got %u)", r);
    r = x.GetCurrentData(&other);
    Check(r == 2, "GetCurrentData with DevType 5121 returns 2 (got %u)", r);
    r = x.GetErrorHDev(&other);
    Check(r == 2, "GetErrorHDev with DevType 5121 returns 2 (got %u)", r);
    r = x.GetModuleRecord(&dev, 0);
    Check(r == 3, "GetModuleRecord of module 0 returns 3 (got %u)", r);
    r = x.GetModuleRecord(&dev, 7);
    Check(r == 3, "GetModuleRecord of module 7 returns 3 (got %u)", r);
    PumpFor(300);
    Check(g.Results() == resultsBefore && ComQueuedInput(port) == 0,
          "refused requests sent nothing: no callback, no reply on the line");
    Check(ProcessMessageWindowCount() == base.windows && ProcessThreadCount() == base.threads,
          "refused requests made no window and started no thread");
}

// Starts GetID and pumps until OnID; returns the identity's serial check.
bool Identify(const Exports& x, const Options& o, const char* how, bool viaPumpMessages) {
    const int before = g.id;
    const auto start = Clock::now();
    const unsigned r = x.GetID();
    Check(r == 0, "GetID %s returns 0 (got %u)", how, r);
    if (viaPumpMessages) {
        while (g.id == before && MsSince(start) < kReplyWaitMs) x.PumpMessages(50);
    } else {
        PumpUntil(kReplyWaitMs, [&] { return g.id != before; });
    }
    const long long ms = MsSince(start);
    if (!Check(g.id == before + 1, "OnID called once %s, after %lld ms", how, ms)) return false;
    return Check(g.ident.DevType == kDevType && g.ident.SerialNumber == o.serial,
                 "OnID delivers the meter's identity: DevType %u, serial %lu", g.ident.DevType,
                 static_cast<unsigned long>(g.ident.SerialNumber));
}

// The identity through the host's own message loop, with the line trace on,
// and what the first request made of the process.
bool FirstIdentity(const Exports& x, const Options& o, const Baseline& base) {
    x.SetTraceHandler(&OnTrace, &g_trace);
    if (!Identify(x, o, "through the host's GetMessage loop", false)) return false;
    x.SetTraceHandler(nullptr, nullptr);
    Check(g_trace.writes >= 1 && g_trace.reads >= 1 && g_trace.user == &g_trace && !g_trace.offThread,
          "the line trace showed %d writes and %d reads on the host's thread (%d events)", g_trace.writes,
          g_trace.reads, g_trace.events);
    if (o.versionWord >= 0)
        Check(g.ident.IdWord2 == o.versionWord, "IdWord2 is the meter's version word 0x%04X (got 0x%04X)",
              static_cast<unsigned>(o.versionWord), g.ident.IdWord2);
    Check(g.ident.Carried[0] == 0 && g.ident.Carried[1] == 0, "bytes 10-11 of the identity are still 0");
    Check(!g.offThread, "callbacks run on the thread that calls the exports");
    Check(ProcessMessageWindowCount() == base.windows + 1 && ProcessThreadCount() == base.threads + 1,
          "the first request made one message-only window and one reader thread (%d windows, %d threads)",
          ProcessMessageWindowCount(), ProcessThreadCount());
    return true;
}

void ModuleCountAndRecords(const Exports& x, const Options& o, const SDevIdent& ident) {
    // Module count: one byte in a 32-bit slot.
    const auto start = Clock::now();
    const unsigned r = x.GetModuleCount(&ident);
    Check(r == 0, "GetModuleCount returns 0 (got %u)", r);
    PumpUntil(kReplyWaitMs, [] { return g.moduleCount > 0; });
    if (Check(g.moduleCount == 1, "OnModuleCount called once, after %lld ms", MsSince(start)) && o.modules >= 0)
        Check((g.count & 0xFF) == static_cast<std::uint32_t>(o.modules), "module count is %ld (got %lu)", o.modules,
              static_cast<unsigned long>(g.count & 0xFF));

    for (const ModuleExpectation& e : o.records) {
        const int before = g.moduleRecord;
        const unsigned rr = x.GetModuleRecord(&ident, e.module);
        Check(rr == 0, "GetModuleRecord(%u) returns 0 (got %u)", e.module, rr);
        PumpUntil(kReplyWaitMs, [&] { return g.moduleRecord != before; });
        if (!Check(g.moduleRecord == before + 1, "OnModuleRecord called once for module %u", e.module)) continue;
        const bool same = std::memcmp(&g.record, e.bytes, 32) == 0;
        Check(same, "module %u record matches the meter's module entry", e.module);
        if (!same) std::printf("     got  %s\n     want %s\n", Hex(&g.record, 32).c_str(), Hex(e.bytes, 32).c_str());
    }
}

// Another meter's serial number: the message and no result callback.
void OtherMeter(const Exports& x, const Options& o, const SDevIdent& ident) {
    SDevIdent other = ident;
    other.SerialNumber = o.serial + 1;
    {
        x.SetMessageBoxHandler(&CaptureMessage);
        const int counts = g.moduleCount;
        const unsigned r = x.GetModuleCount(&other);
        Check(r == 0, "GetModuleCount naming serial %lu returns 0 (got %u)",
              static_cast<unsigned long>(other.SerialNumber), r);
        PumpUntil(kReplyWaitMs, [] { return g.messages > 0; });
        PumpFor(200);
        const std::string want = "Не совпадение серийных номеров запрос №" +
                                 std::to_string(static_cast<std::int32_t>(other.SerialNumber)) + "  найден №" +
                                 std::to_string(static_cast<std::int32_t>(o.serial));
        Check(g.messages == 1 && g.caption == "Ошибка!" && g.text == want,
              "serial mismatch shows one message \"%s\" / \"%s\"", g.caption.c_str(), g.text.c_str());
        Check(g.moduleCount == counts, "and calls no result callback");
        x.SetMessageBoxHandler(nullptr);
    }
    // The library's own MessageBoxW; without a display Wine returns from it at once.
    const int counts = g.moduleCount;
    const unsigned r = x.GetModuleCount(&other);
    Check(r == 0, "GetModuleCount for another meter with the default message box returns 0 (got %u)", r);
    PumpFor(1000);
    Check(g.moduleCount == counts && g.messages == 1, "the message box came and went with no result callback");
}

void FullRun(const Exports& x, const Options& o, PortHandle port, const Baseline& base) {
    SDevIdent dev{};
    dev.DevType = kDevType;
    dev.SerialNumber = o.serial;
    RefusedRequests(x, port, dev, base);

    const TQ31Slot slot = MakeSlot(port, o.echo, 2000);
    x.InitSlot(&slot);
    std::printf("     slot: echo flag %u, time-out %d ms; port read time-out %u ms\n", slot.EchoFlag, slot.TimeOut,
                kPortReadTimeoutMs);
    if (!FirstIdentity(x, o, base)) return;
    const SDevIdent ident = g.ident;
    ModuleCountAndRecords(x, o, ident);
    OtherMeter(x, o, ident);

    Identify(x, o, "driven by PumpMessages alone", true);
    Check(!g.offThread, "all callbacks ran on the thread that calls the exports");
    Check(g.timeOut == 0 && g.unexpected == 0, "no OnTimeOut and no callback of a request not made");
}

void LateMeterRun(const Exports& x, const Options& o, PortHandle port) {
    // A long link time-out keeps the first request from being re-sent while we watch.
    const TQ31Slot slot = MakeSlot(port, o.echo, 4000);
    x.InitSlot(&slot);
    unsigned r = x.GetID();
    Check(r == 0, "GetID returns 0 (got %u)", r);
    PumpFor(300);
    Check(g.id == 0, "a late meter has not answered after 300 ms");

    // The reader is now waiting for the reply. A new request must end that
    // read before it goes on, without waiting for any port or link time-out.
    const auto start = Clock::now();
    r = x.GetID();
    const long long ms = MsSince(start);
    Check(r == 0, "a second GetID returns 0 (got %u)", r);
    Check(ms < 250, "it ended the waiting read at once: %lld ms (port read time-out %u ms, link time-out %d ms)", ms,
          kPortReadTimeoutMs, slot.TimeOut);

    PumpUntil(8000, [] { return g.id > 0; });
    Check(g.id >= 1 && g.ident.SerialNumber == o.serial, "the re-armed request still delivers the identity");
    Check(!g.offThread && g.unexpected == 0, "callbacks on the host thread, none unexpected");
}

// Every export found by its plain name, none decorated, FXB there, and
// nothing started by loading alone.
bool LoadChecks(const q31::DynamicLibrary& dll, Exports& x, const Baseline& base) {
    const bool all = Resolve(dll, x);
    Check(all, "every export is found by its plain name");
    for (const char* decorated : {"GetID@0", "_GetID@0", "InitSlot@4", "GetModuleRecord@8", "GetErrorDataModule@12"})
        Check(dll.Symbol(decorated) == nullptr, "no decorated export %s", decorated);
    auto** fxb = reinterpret_cast<TFXB**>(dll.Symbol("FXB"));
    Check(fxb != nullptr && *fxb != nullptr, "FXB is exported as data and the form exists once loaded");
    Check(ProcessMessageWindowCount() == base.windows && ProcessThreadCount() == base.threads,
          "loading made no window and started no thread (%d windows, %d threads; %d, %d before)",
          ProcessMessageWindowCount(), ProcessThreadCount(), base.windows, base.threads);
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    Options o;
    if (!ParseOptions(argc, argv, o)) return 2;
    g.hostThread = std::this_thread::get_id();

    // Wine's user32 may own a message-only window of its own: count from here.
    const Baseline base{ProcessThreadCount(), ProcessMessageWindowCount()};
    q31::DynamicLibrary dll;
    if (!Check(dll.Open(o.dll.c_str()), "LoadLibrary(\"%s\") %s", o.dll.c_str(), dll.Error())) return Finish();

    Exports x;
    const bool all = LoadChecks(dll, x, base);
    if (!all) return Finish();

    // A network line: the DLL opens the port from its URL.
    if (o.port.find("://") != std::string::npos) {
        RemoteRun(dll, o);
        return Finish();
    }

    std::string error;
    ComSetup setup;
    setup.baud = 9600;
    setup.readTotalTimeoutConstant = kPortReadTimeoutMs;
    setup.writeTotalTimeoutConstant = 1000;
    const PortHandle port = OpenComPort(o.port.c_str(), setup, error);
    if (!Check(port != 0, "CreateFile(%s), SetCommState, SetCommTimeouts %s", o.port.c_str(), error.c_str()))
        return Finish();

    if (o.lateMeter) LateMeterRun(x, o, port);
    else FullRun(x, o, port, base);

    // The port stays open: the library keeps its handle for as long as the
    // process runs, as it does in a real host.
    return Finish();
}
