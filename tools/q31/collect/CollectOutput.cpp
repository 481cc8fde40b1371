#include "tools/q31/collect/CollectOutput.h"

#include <cstdio>
#include <ctime>

#include "tools/q31/collect/PrintableText.h"

namespace q31::tool::collect {

namespace {

const char* LevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "error";
        case LogLevel::Warn: return "warning";
        case LogLevel::Info: return "info";
        case LogLevel::Debug: return "debug";
    }
    return "";
}

// The journal's priorities: err, warning, info, debug.
const char* JournalPrefix(LogLevel level) {
    switch (level) {
        case LogLevel::Error: return "<3>";
        case LogLevel::Warn: return "<4>";
        case LogLevel::Info: return "<6>";
        case LogLevel::Debug: return "<7>";
    }
    return "";
}

// Local time with its offset, e.g. 2026-12-08T09:15:02+01:00.
std::string Stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[48];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    // strftime's %z has no colon (+0100); ISO 8601's extended form wants one.
    const long offset = local.tm_gmtoff / 60;
    const long magnitude = offset < 0 ? -offset : offset;
    std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return text;
}

}  // namespace

std::optional<LogLevel> LogLevelByName(const std::string& name) {
    if (name == "error") return LogLevel::Error;
    if (name == "warn") return LogLevel::Warn;
    if (name == "info") return LogLevel::Info;
    if (name == "debug") return LogLevel::Debug;
    return std::nullopt;
}

void CollectOutput::Batch(const nlohmann::ordered_json& line) const {
    if (!jsonl_) return;
    std::fputs((line.dump() + "\n").c_str(), stdout);
    // A reader of the pipe sees each batch as soon as it is committed.
    std::fflush(stdout);
}

void CollectOutput::Log(LogLevel level, const std::string& text) const {
    if (!Shows(level)) return;
    // One message, one line, whatever a name or a server's reply carries.
    const std::string line = Printable(text);
    if (journal_) std::fprintf(stderr, "%s%s\n", JournalPrefix(level), line.c_str());
    else std::fprintf(stderr, "%s q31 collect: %s: %s\n", Stamp().c_str(), LevelName(level), line.c_str());
    std::fflush(stderr);
}

void CollectOutput::Summary(const RunTotals& t, const std::vector<std::string>& failures, bool interrupted) const {
    if (!Shows(LogLevel::Info)) return;
    std::FILE* out = jsonl_ ? stderr : stdout;
    std::fprintf(out,
                 "collect%s: %d meter%s read, %d failed; %lld archive records stored, %lld gap%s, %lld log records, "
                 "%lld snapshots\n",
                 interrupted ? " (interrupted)" : "", t.metersOk, t.metersOk == 1 ? "" : "s", t.metersFailed, t.records,
                 t.gaps, t.gaps == 1 ? "" : "s", t.logRecords, t.snapshots);
    for (const std::string& f : failures) std::fprintf(out, "  failed: %s\n", Printable(f).c_str());
    std::fflush(out);
}

}  // namespace q31::tool::collect
