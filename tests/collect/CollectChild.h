// q31 collect as a child process: started, waited for, or stopped with a
// signal at a chosen moment. Its stdout and stderr go to files, read back
// whenever the test wants to look.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace q31::test {

class CollectChild {
public:
    // Starts q31 with `args`; output lands in `dir`/out.N and err.N, or
    // stderr in `errPath` when given (truncated, so a file the caller made
    // keeps its inode). `env`: NAME=VALUE entries added to the environment.
    CollectChild(const std::vector<std::string>& args, const std::string& dir, const std::vector<std::string>& env = {},
                 const std::string& errPath = {});
    ~CollectChild();
    CollectChild(const CollectChild&) = delete;
    CollectChild& operator=(const CollectChild&) = delete;

    // Waits for the exit up to `timeout`; true when it exited (by itself or
    // by a signal). Kills it with SIGKILL when the time is up.
    bool Wait(std::chrono::milliseconds timeout);
    // Sends `signal`; false when the child had already ended.
    bool Signal(int signal);
    // Polls the stdout file until a line contains `text` or `timeout` passed.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);

    int ExitStatus() const { return exitStatus_; }  // -1 unless it exited normally
    int TermSignal() const { return termSignal_; }  // 0 unless a signal ended it
    std::string Out() const;
    std::string Err() const;

private:
    bool Reap(bool block);

    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
    bool exited_ = false;
    int exitStatus_ = -1;
    int termSignal_ = 0;
};

// Runs q31 with `args` to its end (at most `timeout`).
struct CollectRun {
    int status = -1;
    std::string out;
    std::string err;
};
CollectRun RunCollect(const std::vector<std::string>& args, const std::string& dir,
                      std::chrono::milliseconds timeout = std::chrono::minutes(2));

// A fresh directory under the system's temporary one.
std::string MakeTempDir(const std::string& stem);

}  // namespace q31::test
