// What `q31 collect` tells the operator: with --jsonl one JSON line per
// stored batch and per failed attempt on stdout; log lines on stderr, each
// with its level and an ISO 8601 time stamp (or, when stderr is the systemd
// journal, which stamps lines itself, with the journal's "<N>" priority);
// the summary at the end (stdout, or stderr when stdout carries the JSON
// lines), at the info level, so that --quiet keeps cron's mail empty.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/q31/collect/CollectStore.h"

namespace q31::tool::collect {

enum class LogLevel { Error, Warn, Info, Debug };

// "error", "warn", "info" or "debug"; nothing for any other name.
std::optional<LogLevel> LogLevelByName(const std::string& name);

class CollectOutput {
public:
    // `journal`: stderr is the journal (no time stamps, priority prefixes).
    explicit CollectOutput(bool jsonl, LogLevel level = LogLevel::Info, bool journal = false)
        : jsonl_(jsonl), level_(level), journal_(journal) {}

    void Batch(const nlohmann::ordered_json& line) const;
    void Log(LogLevel level, const std::string& text) const;
    void Error(const std::string& text) const { Log(LogLevel::Error, text); }
    void Warn(const std::string& text) const { Log(LogLevel::Warn, text); }
    void Info(const std::string& text) const { Log(LogLevel::Info, text); }
    void Debug(const std::string& text) const { Log(LogLevel::Debug, text); }
    bool Shows(LogLevel level) const { return level <= level_; }
    void Summary(const RunTotals& totals, const std::vector<std::string>& failures, bool interrupted) const;

private:
    bool jsonl_;
    LogLevel level_;
    bool journal_;
};

}  // namespace q31::tool::collect
