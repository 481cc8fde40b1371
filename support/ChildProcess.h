// Running a helper program beside the caller (the virtual meter for the
// benchmarks), reading the first line it prints.
#pragma once

#include <string>
#include <vector>

namespace q31 {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `args`; its standard input stays open (some
    // helpers serve until it closes). False when it cannot be started.
    bool Start(const std::string& program, const std::vector<std::string>& args);
    // The first line the program printed on standard output, waiting at most `timeoutMs`.
    std::string FirstLine(int timeoutMs);
    // Ends the program and waits for it.
    void Stop();

private:
    int pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
};

}  // namespace q31
