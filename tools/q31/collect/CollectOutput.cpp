#include "tools/q31/collect/CollectOutput.h"

#include <cstdio>

namespace q31::tool::collect {

void CollectOutput::Batch(const nlohmann::ordered_json& line) const {
    if (!jsonl_) return;
    std::fputs((line.dump() + "\n").c_str(), stdout);
    // A reader of the pipe sees each batch as soon as it is committed.
    std::fflush(stdout);
}

void CollectOutput::Note(const std::string& text) const {
    std::fprintf(stderr, "q31 collect: %s\n", text.c_str());
    std::fflush(stderr);
}

void CollectOutput::Summary(const RunTotals& t, const std::vector<std::string>& failures, bool interrupted) const {
    std::FILE* out = jsonl_ ? stderr : stdout;
    std::fprintf(out,
                 "collect%s: %d meter%s read, %d failed; %lld archive records stored, %lld gap%s, %lld log records, "
                 "%lld snapshots\n",
                 interrupted ? " (interrupted)" : "", t.metersOk, t.metersOk == 1 ? "" : "s", t.metersFailed, t.records,
                 t.gaps, t.gaps == 1 ? "" : "s", t.logRecords, t.snapshots);
    for (const std::string& f : failures) std::fprintf(out, "  failed: %s\n", f.c_str());
    std::fflush(out);
}

}  // namespace q31::tool::collect
