// One run of `q31 collect --once`, started as a child of the benchmark with
// its output thrown away, so the benchmarks time the operator program as an
// operator runs it.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace q31::bench {

// The child's pid, or -1 when it could not be started. `quietErrors` throws
// its error output away too (a thousand meters' complaints would bury the
// benchmark's own).
inline pid_t StartCollectOnce(const std::string& config, const std::string& db, bool quietErrors = false) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (!std::freopen("/dev/null", "w", stdout)) ::_exit(126);
    if (quietErrors && !std::freopen("/dev/null", "w", stderr)) ::_exit(126);
    std::string program = Q31_TOOL_PROGRAM;
    std::vector<std::string> args{program, "collect", "--config", config, "--once", "--db", db};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

}  // namespace q31::bench
