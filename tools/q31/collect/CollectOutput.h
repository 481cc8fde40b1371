// What `q31 collect` tells the operator: with --jsonl one JSON line per
// stored batch on stdout; notes on failures on stderr; the summary at the
// end (stdout, or stderr when stdout carries the JSON lines).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/q31/collect/CollectStore.h"

namespace q31::tool::collect {

class CollectOutput {
public:
    explicit CollectOutput(bool jsonl) : jsonl_(jsonl) {}

    void Batch(const nlohmann::ordered_json& line) const;
    void Note(const std::string& text) const;
    void Summary(const RunTotals& totals, const std::vector<std::string>& failures, bool interrupted) const;

private:
    bool jsonl_;
};

}  // namespace q31::tool::collect
