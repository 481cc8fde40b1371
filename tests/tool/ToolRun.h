// Running q31 as a child process and keeping what it printed and how it ended.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace q31::test {

struct ToolRun {
    int status = -1;  // exit status; -1 when it did not exit by itself
    std::string out;
    std::string err;

    nlohmann::ordered_json Json() const { return nlohmann::ordered_json::parse(out); }
    // The lines of stdout, the last one without its line break.
    std::vector<std::string> OutLines() const;
};

// Runs q31 with `args`, with stdin closed and no terminal, waiting at most
// `timeoutMs` before killing it.
ToolRun RunTool(const std::vector<std::string>& args, int timeoutMs = 120000);
// The same for a copy of q31 at `path`.
ToolRun RunProgram(const std::string& path, const std::vector<std::string>& args, int timeoutMs = 120000);

// The lines of a text.
std::vector<std::string> Lines(const std::string& text);

}  // namespace q31::test
