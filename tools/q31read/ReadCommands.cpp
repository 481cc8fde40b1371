#include "tools/q31read/ReadCommands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/DeviceTexts.h"
#include "platform/Cp1251.h"

namespace q31::tool {

namespace {

// What the callbacks received; they run on this thread, inside PumpMessages.
struct Results {
    int calls = 0;
    bool timedOut = false;
    SDevIdent ident{};
    std::uint32_t moduleCount = 0;
    SModuleRecord module{};
} g;

void Q31_CALL OnTimeOut() { g.timedOut = true; }
void Q31_CALL OnID(SDevIdent* ident) {
    g.ident = *ident;
    ++g.calls;
}
void Q31_CALL OnModuleCount(std::uint32_t count) {
    g.moduleCount = count & 0xFF;
    ++g.calls;
}
void Q31_CALL OnModuleRecord(SModuleRecord* record) {
    g.module = *record;
    ++g.calls;
}

std::string Utf8(const char* text1251) {
    char out[512];
    Cp1251ToUtf8(text1251, out, sizeof out);
    return out;
}

const char* StatusText(std::uint8_t status) {
    switch (status) {
        case 0: return "started";
        case 1: return "the slot record was not handed over (InitSlot)";
        case 2: return "the device type is not 5120";
        case 3: return "an argument is out of range";
        default: return "unknown status";
    }
}

// Starts a request through `start` and pumps until its callback has run.
template <typename Start>
bool Await(Session& s, const char* what, Start start) {
    const int before = g.calls;
    g.timedOut = false;
    const std::uint8_t status = start();
    if (status != 0) {
        std::fprintf(stderr, "%s: refused with status %u (%s)\n", what, status, StatusText(status));
        return false;
    }
    for (int waited = 0; g.calls == before; waited += 50) {
        if (waited >= s.waitMs || g.timedOut) {
            std::fprintf(stderr, "%s: no answer from the meter within %d ms\n", what, s.waitMs);
            return false;
        }
        s.api->PumpMessages(50);
    }
    return true;
}

bool Identify(Session& s) {
    if (!Await(s, "identification", [&] { return s.api->GetID(); })) return false;
    s.ident = g.ident;
    return true;
}

void PrintIdent(const SDevIdent& d) {
    std::printf("device type    %u (0x%04X) %s\n", d.DevType, d.DevType, Utf8(texts::DeviceTypeText(d.DevType)).c_str());
    std::printf("version word   0x%04X\n", d.IdWord2);
    std::printf("serial number  %u\n", d.SerialNumber);
    std::printf("word 12        0x%04X\n", d.IdWord12);
}

void PrintModule(int number, const SModuleRecord& m) {
    std::printf("module %d: word 0x%04X, bytes", number, m.Word0);
    for (std::uint8_t b : m.Bytes) std::printf(" %u", b);
    std::printf(", values");
    for (std::uint32_t v : m.Values) std::printf(" %u", v);
    std::printf("\n");
}

bool ParseNumber(const std::string& text, long min, long max, long& out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end || v < min || v > max) return false;
    out = v;
    return true;
}

}  // namespace

void FillCallbacks(TQ31Slot& slot) {
    slot.OnTimeOut = &OnTimeOut;
    slot.OnID = &OnID;
    slot.OnModuleCount = &OnModuleCount;
    slot.OnModuleRecord = &OnModuleRecord;
}

std::string CommandHelp() {
    return "  id              identify the meter (the default)\n"
           "  modules         module count and every module's record\n"
           "  module N        the record of module N (1-6)\n";
}

int RunCommand(Session& s, const std::string& command, const std::vector<std::string>& args) {
    if (command == "id") {
        if (!Identify(s)) return 1;
        PrintIdent(s.ident);
        return 0;
    }
    if (command == "modules" || command == "module") {
        long only = 0;
        if (command == "module" && (args.size() != 1 || !ParseNumber(args[0], 1, 6, only))) {
            std::fprintf(stderr, "module: give a module number from 1 to 6\n");
            return 2;
        }
        if (!Identify(s)) return 1;
        const SDevIdent* dev = &s.ident;
        if (!only) {
            if (!Await(s, "module count", [&] { return s.api->GetModuleCount(dev); })) return 1;
            std::printf("modules        %u\n", g.moduleCount);
        }
        const int first = only ? static_cast<int>(only) : 1;
        const int last = only ? static_cast<int>(only) : (g.moduleCount < 6 ? static_cast<int>(g.moduleCount) : 6);
        for (int n = first; n <= last; ++n) {
            if (!Await(s, "module record", [&] { return s.api->GetModuleRecord(dev, static_cast<std::uint32_t>(n)); }))
                return 1;
            PrintModule(n, g.module);
        }
        return 0;
    }
    std::fprintf(stderr, "unknown command '%s'\n", command.c_str());
    return 2;
}

}  // namespace q31::tool
