// The error and edit logs: heads and blocks, as the plug-in hands them over.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "tools/q31read/CommandFamilies.h"

namespace q31::tool {

namespace {

constexpr int kRecords = 16;
constexpr int kErrorRecordBytes = 8;
constexpr int kEditRecordBytes = 16;

std::uint16_t g_words[8] = {};
std::uint32_t g_wordCount = 0;
std::uint8_t g_records[kRecords * kEditRecordBytes] = {};
std::uint32_t g_recordCount = 0;

void Q31_CALL OnLogWords(std::uint16_t* words, std::uint32_t count) {
    g_wordCount = count <= 8 ? count : 8;
    std::memcpy(g_words, words, g_wordCount * sizeof *words);
    NoteCallback();
}
void Q31_CALL OnErrorRecords(std::uint8_t* records, std::uint32_t count) {
    g_recordCount = count <= kRecords ? count : kRecords;
    std::memcpy(g_records, records, g_recordCount * kErrorRecordBytes);
    NoteCallback();
}
void Q31_CALL OnEditRecords(std::uint8_t* records, std::uint32_t count) {
    g_recordCount = count <= kRecords ? count : kRecords;
    std::memcpy(g_records, records, g_recordCount * kEditRecordBytes);
    NoteCallback();
}
void Q31_CALL OnEditHead(std::uint16_t* word) {
    g_words[0] = *word;
    g_wordCount = 1;
    NoteCallback();
}

void Fill(TQ31Slot& slot) {
    slot.OnErrorHDev = &OnLogWords;
    slot.OnErrorHModule = &OnLogWords;
    slot.OnErrorDataDev = &OnErrorRecords;
    slot.OnErrorDataModule = &OnErrorRecords;
    slot.OnEditHModule = &OnEditHead;
    slot.OnEditDataModule = &OnEditRecords;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PrintWords(const char* what) {
    std::printf("%s:", what);
    for (std::uint32_t i = 0; i < g_wordCount; ++i) std::printf(" 0x%04X", g_words[i]);
    std::printf("\n");
}

// Four one-byte fields, then one (error) or three (edit) 32-bit fields.
void PrintRecords(int recordBytes) {
    for (std::uint32_t i = 0; i < g_recordCount; ++i) {
        const std::uint8_t* r = g_records + i * recordBytes;
        std::printf("%2u: %3u %3u %3u %3u", i, r[0], r[1], r[2], r[3]);
        for (int f = 4; f < recordBytes; f += 4) std::printf("  0x%08X", Le32(r + f));
        std::printf("\n");
    }
}

// Reads the numbers of a command: each from 1 to its limit.
bool Numbers(const char* command, const Args& args, std::initializer_list<long long> limits, long long* out) {
    std::size_t i = 0;
    for (long long limit : limits) {
        if (!ParseNumber(args[i], 1, limit, out[i])) {
            std::fprintf(stderr, "%s: argument %zu must be a number from 1 to %lld\n", command, i + 1, limit);
            return false;
        }
        ++i;
    }
    return true;
}

int Run(Session& s, const std::string& command, const Args& args) {
    const bool known = command == "errorhead" || command == "errors" || command == "edithead" || command == "edits";
    if (!known) return -1;
    long long n[2] = {};
    const auto u = [&](int i) { return static_cast<std::uint32_t>(n[i]); };
    const SDevIdent* dev = &s.ident;

    if (command == "errorhead") {
        if (args.size() > 1 || (args.size() == 1 && !Numbers("errorhead", args, {8}, n))) return 2;
        if (!Identify(s)) return 1;
        if (args.empty()) {
            if (!Await(s, "device error head", [&] { return s.api->GetErrorHDev(dev); })) return 1;
            PrintWords("device error head");
        } else {
            if (!Await(s, "module error head", [&] { return s.api->GetErrorHModule(dev, u(0)); })) return 1;
            std::printf("module %u ", u(0));
            PrintWords("error head");
        }
        return 0;
    }
    if (command == "errors") {
        const bool module = args.size() == 2;
        if (args.size() != 1 && !module) {
            std::fprintf(stderr, "errors: give BLOCK, or MODULE BLOCK\n");
            return 2;
        }
        if (!(module ? Numbers("errors", args, {6, 5}, n) : Numbers("errors", args, {8}, n))) return 2;
        if (!Identify(s)) return 1;
        if (module) {
            if (!Await(s, "module error block", [&] { return s.api->GetErrorDataModule(dev, u(0), u(1)); }))
                return 1;
            std::printf("module %u error block %u:\n", u(0), u(1));
        } else {
            if (!Await(s, "device error block", [&] { return s.api->GetErrorDataDev(dev, u(0)); })) return 1;
            std::printf("device error block %u:\n", u(0));
        }
        PrintRecords(kErrorRecordBytes);
        return 0;
    }
    // edithead and edits take one module.
    if (args.size() != 1) {
        std::fprintf(stderr, "%s: give a module number from 1 to 8\n", command.c_str());
        return 2;
    }
    if (!Numbers(command.c_str(), args, {8}, n)) return 2;
    if (!Identify(s)) return 1;
    if (command == "edithead") {
        if (!Await(s, "edit head", [&] { return s.api->GetEditHModule(dev, u(0)); })) return 1;
        std::printf("module %u ", u(0));
        PrintWords("edit head");
        return 0;
    }
    if (!Await(s, "edit log", [&] { return s.api->GetEditDataModule(dev, u(0)); })) return 1;
    std::printf("module %u edit log:\n", u(0));
    PrintRecords(kEditRecordBytes);
    return 0;
}

}  // namespace

const CommandFamily kLogFamily = {
    &Fill, &Run,
    "  errorhead           the device error-log head\n"
    "  errorhead M         the error-log head of module M (1-8)\n"
    "  errors B            block B (1-8) of the device error log\n"
    "  errors M B          block B (1-5) of module M's (1-6) error log\n"
    "  edithead M          the edit-log head of module M (1-8)\n"
    "  edits M             the 16 edit records of module M (1-8)\n"};

}  // namespace q31::tool
