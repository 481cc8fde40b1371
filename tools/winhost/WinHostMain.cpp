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
//
// --echo: the line echoes what the host sends (slot echo flag 0).
// --record I:HEX: the 32 bytes OnModuleRecord must deliver for module I.
// --late-meter: the meter answers only after a second or more; checks that
//   a new request ends the read still waiting for the old one at once.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "publicQ31.h"
#include "support/WinHost.h"

namespace {

using namespace q31::winhost;
using q31::PortHandle;
using Clock = std::chrono::steady_clock;

// ---- Reporting -------------------------------------------------------------

int g_passed = 0;
int g_failed = 0;

bool Check(bool ok, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::printf("%s - ", ok ? "ok  " : "FAIL");
    std::vprintf(format, args);
    std::printf("\n");
    va_end(args);
    ++(ok ? g_passed : g_failed);
    return ok;
}

int Finish() {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Hex(const void* data, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<const std::uint8_t*>(data)[i];
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// ---- The exports, found by name ----------------------------------------------

// clang-format off
#define Q31_EXPORTS(X)                                                                          \
    X(InitSlot) X(GetID) X(GetModuleCount) X(GetModuleRecord) X(GetCurrentData)                 \
    X(GetAccumulatedData) X(GetArhiveCount) X(GetArhiveTime_Hour) X(GetArhiveStop_Hour)         \
    X(GetArhiveT_Hour) X(GetArhiveU_Hour) X(GetArhiveM_Hour) X(GetArhiveE_Hour)                 \
    X(GetArhiveTime_Day) X(GetArhiveStop_Day) X(GetArhiveT_Day) X(GetArhiveU_Day)               \
    X(GetArhiveM_Day) X(GetArhiveE_Day) X(GetErrorHDev) X(GetErrorHModule) X(GetErrorDataDev)   \
    X(GetErrorDataModule) X(GetEditHModule) X(GetEditDataModule) X(PumpMessages)               \
    X(SetMessageBoxHandler) X(SetProgressHandler) X(SetTraceHandler) X(SetReadConfirmation)
// clang-format on

struct Exports {
#define Q31_MEMBER(name) decltype(&::name) name = nullptr;
    Q31_EXPORTS(Q31_MEMBER)
#undef Q31_MEMBER
};

bool Resolve(const q31::DynamicLibrary& dll, Exports& x) {
    bool all = true;
#define Q31_RESOLVE(name)                                         \
  x.name = reinterpret_cast<decltype(x.name)>(dll.Symbol(#name)); \
  if (!x.name) {                                                  \
    std::printf("     missing export: %s\n", #name);              \
    all = false;                                                  \
  }
    Q31_EXPORTS(Q31_RESOLVE)
#undef Q31_RESOLVE
    return all;
}

// ---- Host callbacks (stdcall, as the slot record requires) --------------------

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

Received g;

// What the line trace showed the host.
struct Traced {
    int writes = 0;
    int reads = 0;
    int events = 0;
    bool offThread = false;
    void* user = nullptr;
};
Traced g_trace;

void Q31_CALL OnTrace(const TQ31TraceEvent* event, void* user) {
    ++g_trace.events;
    g_trace.user = user;
    if (std::this_thread::get_id() != g.hostThread) g_trace.offThread = true;
    if (event->kind == Q31_TRACE_WRITE && event->length > 0) ++g_trace.writes;
    if (event->kind == Q31_TRACE_READ && event->length > 0) ++g_trace.reads;
}

void Q31_CALL OnTimeOut() { ++g.timeOut; }
void Q31_CALL OnID(SDevIdent* ident) {
    g.OnHostThread();
    ++g.id;
    g.identAt = ident;
    if (ident) g.ident = *ident;
}
void Q31_CALL OnModuleCount(std::uint32_t count) {
    g.OnHostThread();
    ++g.moduleCount;
    g.count = count;
}
void Q31_CALL OnModuleRecord(SModuleRecord* record) {
    g.OnHostThread();
    ++g.moduleRecord;
    if (record) g.record = *record;
}
void Q31_CALL OnCurrentData(SCurrentData*) { ++g.unexpected; }
void Q31_CALL OnAccumulatedData(SAccumulatedData*) { ++g.unexpected; }
void Q31_CALL OnArhiveCount(SArhiveCount*) { ++g.unexpected; }
void Q31_CALL OnArhive32(std::int32_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnArhive64(std::int64_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnLogWords(std::uint16_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnLogRecords(std::uint8_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnEditHead(std::uint16_t*) { ++g.unexpected; }

void CaptureMessage(const char* text, const char* caption, unsigned) {
    g.OnHostThread();
    ++g.messages;
    g.text = text ? text : "";
    g.caption = caption ? caption : "";
}

TQ31Slot MakeSlot(PortHandle port, bool echo, int timeOutMs) {
    TQ31Slot slot{};
    slot.Handle = port;
    slot.EchoFlag = echo ? 0 : 1;
    slot.TimeOut = timeOutMs;
    slot.OnTimeOut = &OnTimeOut;
    slot.OnID = &OnID;
    slot.OnModuleCount = &OnModuleCount;
    slot.OnModuleRecord = &OnModuleRecord;
    slot.OnCurrentData = &OnCurrentData;
    slot.OnAccumulatedData = &OnAccumulatedData;
    slot.OnArhiveCount = &OnArhiveCount;
    slot.OnArhiveTime_Hour = slot.OnArhiveStop_Hour = slot.OnArhiveT_Hour = &OnArhive32;
    slot.OnArhiveU_Hour = slot.OnArhiveM_Hour = slot.OnArhiveE_Hour = &OnArhive64;
    slot.OnArhiveTime_Day = slot.OnArhiveStop_Day = slot.OnArhiveT_Day = &OnArhive32;
    slot.OnArhiveU_Day = slot.OnArhiveM_Day = slot.OnArhiveE_Day = &OnArhive64;
    slot.OnErrorHDev = slot.OnErrorHModule = &OnLogWords;
    slot.OnErrorDataDev = slot.OnErrorDataModule = slot.OnEditDataModule = &OnLogRecords;
    slot.OnEditHModule = &OnEditHead;
    return slot;
}

// Runs the host's message loop until `pred` holds or `ms` has passed.
template <typename Pred>
bool PumpUntil(int ms, Pred pred) {
    return PumpWindowMessages(
        ms, [](void* p) { return (*static_cast<Pred*>(p))(); }, &pred);
}

void PumpFor(int ms) {
    PumpUntil(ms, [] { return false; });
}

// ---- Options -------------------------------------------------------------------

struct ModuleExpectation {
    unsigned module = 0;
    std::uint8_t bytes[32] = {};
};

struct Options {
    std::string dll = "publicQ31.dll";
    std::string port;
    std::uint32_t serial = 0;
    bool haveSerial = false;
    long versionWord = -1;
    long modules = -1;
    bool echo = false;
    bool lateMeter = false;
    std::vector<ModuleExpectation> records;
};

bool ParseRecord(const char* text, ModuleExpectation& out) {
    char* end = nullptr;
    const unsigned long module = std::strtoul(text, &end, 10);
    if (end == text || *end != ':' || module < 1 || module > 6) return false;
    const char* hex = end + 1;
    if (std::strlen(hex) != 64) return false;
    for (int i = 0; i < 32; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        char* stop = nullptr;
        out.bytes[i] = static_cast<std::uint8_t>(std::strtoul(pair, &stop, 16));
        if (*stop != 0) return false;
    }
    out.module = static_cast<unsigned>(module);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--dll" && hasValue) o.dll = argv[++i];
        else if (arg == "--port" && hasValue) o.port = argv[++i];
        else if (arg == "--serial" && hasValue) {
            o.serial = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
            o.haveSerial = true;
        } else if (arg == "--version-word" && hasValue) o.versionWord = std::strtol(argv[++i], nullptr, 0);
        else if (arg == "--modules" && hasValue) o.modules = std::strtol(argv[++i], nullptr, 0);
        else if (arg == "--echo") o.echo = true;
        else if (arg == "--late-meter") o.lateMeter = true;
        else if (arg == "--record" && hasValue) {
            ModuleExpectation e;
            if (!ParseRecord(argv[++i], e)) {
                std::fprintf(stderr, "q31-winhost: bad --record %s (want I:64 hex digits)\n", argv[i]);
                return false;
            }
            o.records.push_back(e);
        } else {
            std::fprintf(stderr, "q31-winhost: unknown or incomplete argument %s\n", arg.c_str());
            return false;
        }
    }
    if (o.port.empty() || !o.haveSerial) {
        std::fprintf(stderr, "q31-winhost: --port and --serial are required\n");
        return false;
    }
    return true;
}

// ---- Scenarios -----------------------------------------------------------------

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

void FullRun(const Exports& x, const Options& o, PortHandle port, const Baseline& base) {
    SDevIdent dev{};
    dev.DevType = kDevType;
    dev.SerialNumber = o.serial;
    RefusedRequests(x, port, dev, base);

    const TQ31Slot slot = MakeSlot(port, o.echo, 2000);
    x.InitSlot(&slot);
    std::printf("     slot: echo flag %u, time-out %d ms; port read time-out %u ms\n", slot.EchoFlag, slot.TimeOut,
                kPortReadTimeoutMs);

    x.SetTraceHandler(&OnTrace, &g_trace);
    if (!Identify(x, o, "through the host's GetMessage loop", false)) return;
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
    const SDevIdent ident = g.ident;

    // Module count: one byte in a 32-bit slot.
    {
        const auto start = Clock::now();
        const unsigned r = x.GetModuleCount(&ident);
        Check(r == 0, "GetModuleCount returns 0 (got %u)", r);
        PumpUntil(kReplyWaitMs, [] { return g.moduleCount > 0; });
        if (Check(g.moduleCount == 1, "OnModuleCount called once, after %lld ms", MsSince(start)) && o.modules >= 0)
            Check((g.count & 0xFF) == static_cast<std::uint32_t>(o.modules), "module count is %ld (got %lu)", o.modules,
                  static_cast<unsigned long>(g.count & 0xFF));
    }

    for (const ModuleExpectation& e : o.records) {
        const int before = g.moduleRecord;
        const unsigned r = x.GetModuleRecord(&ident, e.module);
        Check(r == 0, "GetModuleRecord(%u) returns 0 (got %u)", e.module, r);
        PumpUntil(kReplyWaitMs, [&] { return g.moduleRecord != before; });
        if (!Check(g.moduleRecord == before + 1, "OnModuleRecord called once for module %u", e.module)) continue;
        const bool same = std::memcmp(&g.record, e.bytes, 32) == 0;
        Check(same, "module %u record matches the meter's module entry", e.module);
        if (!same) std::printf("     got  %s\n     want %s\n", Hex(&g.record, 32).c_str(), Hex(e.bytes, 32).c_str());
    }

    // Another meter's serial number: the message and no result callback.
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
    {
        // The library's own MessageBoxW; without a display Wine returns from it at once.
        const int counts = g.moduleCount;
        const unsigned r = x.GetModuleCount(&other);
        Check(r == 0, "GetModuleCount for another meter with the default message box returns 0 (got %u)", r);
        PumpFor(1000);
        Check(g.moduleCount == counts && g.messages == 1, "the message box came and went with no result callback");
    }

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
    const bool all = Resolve(dll, x);
    Check(all, "every export is found by its plain name");
    for (const char* decorated : {"GetID@0", "_GetID@0", "InitSlot@4", "GetModuleRecord@8", "GetErrorDataModule@12"})
        Check(dll.Symbol(decorated) == nullptr, "no decorated export %s", decorated);
    auto** fxb = reinterpret_cast<TFXB**>(dll.Symbol("FXB"));
    Check(fxb != nullptr && *fxb != nullptr, "FXB is exported as data and the form exists once loaded");
    Check(ProcessMessageWindowCount() == base.windows && ProcessThreadCount() == base.threads,
          "loading made no window and started no thread (%d windows, %d threads; %d, %d before)",
          ProcessMessageWindowCount(), ProcessThreadCount(), base.windows, base.threads);
    if (!all) return Finish();

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
