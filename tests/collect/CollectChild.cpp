#include "tests/collect/CollectChild.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace q31::test {

namespace {
std::atomic<int> gChildren{0};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
}  // namespace

std::string MakeTempDir(const std::string& stem) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + stem + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};
    return pattern;
}

CollectChild::CollectChild(const std::vector<std::string>& args, const std::string& dir,
                           const std::vector<std::string>& env, const std::string& errPath) {
    const int n = gChildren++;
    outPath_ = dir + "/out." + std::to_string(n);
    errPath_ = errPath.empty() ? dir + "/err." + std::to_string(n) : errPath;
    // Made before the fork: the child only execs.
    std::vector<std::string> environment = env;
    for (char** e = environ; *e; ++e) environment.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<std::string> copy = args;
        std::string program = Q31_TOOL_PROGRAM;
        std::vector<char*> argv{program.data()};
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    ::close(err);
}

CollectChild::~CollectChild() {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Reap(true);
    }
}

bool CollectChild::Reap(bool block) {
    if (exited_) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (r != pid_) return false;
    exited_ = true;
    if (WIFEXITED(status)) exitStatus_ = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) termSignal_ = WTERMSIG(status);
    return true;
}

bool CollectChild::Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!Reap(false)) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            Reap(true);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool CollectChild::Signal(int signal) {
    if (Reap(false)) return false;
    return ::kill(pid_, signal) == 0;
}

bool CollectChild::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Out().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= end || Reap(false)) return Out().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string CollectChild::Out() const { return ReadFile(outPath_); }
std::string CollectChild::Err() const { return ReadFile(errPath_); }

CollectRun RunCollect(const std::vector<std::string>& args, const std::string& dir, std::chrono::milliseconds timeout) {
    CollectChild child(args, dir);
    CollectRun run;
    if (child.Wait(timeout)) run.status = child.ExitStatus();
    run.out = child.Out();
    run.err = child.Err();
    return run;
}

}  // namespace q31::test
