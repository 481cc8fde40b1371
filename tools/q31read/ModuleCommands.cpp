// Identification, modules, current values and totals.
#include <cstdio>

#include "link/DeviceTexts.h"
#include "tools/q31read/CommandFamilies.h"

namespace q31::tool {

namespace {

SDevIdent g_ident{};
std::uint32_t g_moduleCount = 0;
SModuleRecord g_module{};
SCurrentData g_current{};
SAccumulatedData g_accumulated{};

void Q31_CALL OnTimeOut() { NoteTimeOut(); }
void Q31_CALL OnID(SDevIdent* ident) {
    g_ident = *ident;
    NoteCallback();
}
void Q31_CALL OnModuleCount(std::uint32_t count) {
    g_moduleCount = count & 0xFF;
    NoteCallback();
}
void Q31_CALL OnModuleRecord(SModuleRecord* record) {
    g_module = *record;
    NoteCallback();
}

void Q31_CALL OnCurrentData(SCurrentData* data) {
    g_current = *data;
    NoteCallback();
}
void Q31_CALL OnAccumulatedData(SAccumulatedData* data) {
    g_accumulated = *data;
    NoteCallback();
}

void Fill(TQ31Slot& slot) {
    slot.OnTimeOut = &OnTimeOut;
    slot.OnID = &OnID;
    slot.OnModuleCount = &OnModuleCount;
    slot.OnModuleRecord = &OnModuleRecord;
    slot.OnCurrentData = &OnCurrentData;
    slot.OnAccumulatedData = &OnAccumulatedData;
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

// The meter gives its values no names or units on the line; they are shown
// as it stores them, one row per group, one column per channel.
void PrintCurrent(const SCurrentData& c) {
    std::printf("current values   %12s %12s %12s %12s %12s %12s\n", "ch 1", "ch 2", "ch 3", "ch 4", "ch 5", "ch 6");
    for (int g = 0; g < 4; ++g) {
        std::printf("group %d          ", g + 1);
        for (std::uint32_t v : c.Groups[g]) std::printf(" %12u", v);
        std::printf("\n");
    }
}

void PrintAccumulated(const SAccumulatedData& a) {
    std::printf("totals           %14s %14s %14s %14s %14s %14s\n", "ch 1", "ch 2", "ch 3", "ch 4", "ch 5", "ch 6");
    std::printf("counters         ");
    for (std::uint32_t v : a.Values) std::printf(" %14u", v);
    std::printf("\n");
    for (int g = 0; g < 3; ++g) {
        std::printf("group %d          ", g + 1);
        for (std::uint64_t v : a.Groups[g]) std::printf(" %14llu", static_cast<unsigned long long>(v));
        std::printf("\n");
    }
}

int Run(Session& s, const std::string& command, const Args& args) {
    if (command == "id") {
        if (!Identify(s)) return 1;
        PrintIdent(s.ident);
        return 0;
    }
    if (command == "modules" || command == "module") {
        long long only = 0;
        if (command == "module" && (args.size() != 1 || !ParseNumber(args[0], 1, 6, only))) {
            std::fprintf(stderr, "module: give a module number from 1 to 6\n");
            return 2;
        }
        if (!Identify(s)) return 1;
        const SDevIdent* dev = &s.ident;
        if (!only) {
            if (!Await(s, "module count", [&] { return s.api->GetModuleCount(dev); })) return 1;
            std::printf("modules        %u\n", g_moduleCount);
        }
        const int first = only ? static_cast<int>(only) : 1;
        const int last = only ? static_cast<int>(only) : (g_moduleCount < 6 ? static_cast<int>(g_moduleCount) : 6);
        for (int n = first; n <= last; ++n) {
            if (!Await(s, "module record", [&] { return s.api->GetModuleRecord(dev, static_cast<std::uint32_t>(n)); }))
                return 1;
            PrintModule(n, g_module);
        }
        return 0;
    }
    if (command == "current" || command == "totals") {
        if (!args.empty()) {
            std::fprintf(stderr, "%s: takes no arguments\n", command.c_str());
            return 2;
        }
        if (!Identify(s)) return 1;
        const SDevIdent* dev = &s.ident;
        if (command == "current") {
            if (!Await(s, "current values", [&] { return s.api->GetCurrentData(dev); })) return 1;
            PrintCurrent(g_current);
        } else {
            if (!Await(s, "accumulated totals", [&] { return s.api->GetAccumulatedData(dev); })) return 1;
            PrintAccumulated(g_accumulated);
        }
        return 0;
    }
    return -1;
}

}  // namespace

bool Identify(Session& s) {
    if (!Await(s, "identification", [&] { return s.api->GetID(); })) return false;
    s.ident = g_ident;
    return true;
}

const CommandFamily kModuleFamily = {
    &Fill, &Run,
    "  id                  identify the meter (the default)\n"
    "  modules             module count and every module's record\n"
    "  module N            the record of module N (1-6)\n"
    "  current             the current values (last measurement)\n"
    "  totals              the accumulated totals\n"};

}  // namespace q31::tool
