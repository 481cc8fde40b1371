#include "tests/soak/SoakReport.h"

#include <cstdint>
#include <cstdio>
#include <functional>

namespace q31::soak {

void SoakReport::AddColumn(std::string heading, const SoakFigures& figures) {
    columns_.emplace_back(std::move(heading), figures);
}

void SoakReport::SetUsage(const ProcessUsage& start, const ProcessUsage& warm, const ProcessUsage& end) {
    start_ = start;
    warm_ = warm;
    end_ = end;
}

void SoakReport::Print() const {
    using Row = std::pair<const char*, std::function<std::uint64_t(const SoakFigures&)>>;
    const Row rows[] = {
        {"requests done", [](const SoakFigures& f) { return f.requests; }},
        {"requests delivered", [](const SoakFigures& f) { return f.delivered; }},
        {"false operator messages", [](const SoakFigures& f) { return f.messages; }},
        {"stalled (no result)", [](const SoakFigures& f) { return f.stalled; }},
        {"refused by the export", [](const SoakFigures& f) { return f.refused; }},
        {"values checked", [](const SoakFigures& f) { return f.valuesChecked; }},
        {"WRONG VALUES", [](const SoakFigures& f) { return f.wrongValues; }},
        {"  in requests", [](const SoakFigures& f) { return f.wrongRequests; }},
        {"  with a checksum-blind reply", [](const SoakFigures& f) { return f.wrongBlind; }},
        {"  with no such excuse", [](const SoakFigures& f) { return f.wrongOther; }},
        {"  after a late reply", [](const SoakFigures& f) { return f.wrongAfterLate; }},
        {"packets the meter took", [](const SoakFigures& f) { return f.packets; }},
        {"replies corrupted", [](const SoakFigures& f) { return f.corrupted; }},
        {"replies dropped", [](const SoakFigures& f) { return f.dropped; }},
        {"replies late", [](const SoakFigures& f) { return f.late; }},
        {"replies checksum-blind", [](const SoakFigures& f) { return f.blind; }},
    };
    constexpr int kLabel = 30, kColumn = 14;
    std::printf("\n%-*s", kLabel, "");
    for (const auto& [heading, figures] : columns_) std::printf("%*s", kColumn, heading.c_str());
    std::printf("\n");
    for (const auto& [label, get] : rows) {
        std::printf("%-*s", kLabel, label);
        for (const auto& column : columns_)
            std::printf("%*llu", kColumn, static_cast<unsigned long long>(get(column.second)));
        std::printf("\n");
    }
    std::printf("%-*s", kLabel, "time, s");
    for (const auto& column : columns_) std::printf("%*.1f", kColumn, column.second.seconds);
    std::printf("\n%-*s", kLabel, "RSS at its end, kB");
    for (const auto& column : columns_) std::printf("%*ld", kColumn, column.second.rssKbAfter);
    std::printf("\n%-*s", kLabel, "meter memory unchanged");
    for (const auto& column : columns_) std::printf("%*s", kColumn, column.second.contentChanged ? "NO" : "yes");
    std::printf("\n\n%-*s%*s%*s%*s\n", kLabel, "", kColumn, "start", kColumn, "after warm-up", kColumn, "end");
    std::printf("%-*s%*ld%*ld%*ld\n", kLabel, "RSS, kB", kColumn, start_.rssKb, kColumn, warm_.rssKb, kColumn,
                end_.rssKb);
    std::printf("%-*s%*d%*d%*d\n\n", kLabel, "open descriptors", kColumn, start_.descriptors, kColumn,
                warm_.descriptors, kColumn, end_.descriptors);
    std::fflush(stdout);
}

}  // namespace q31::soak
