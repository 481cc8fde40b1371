#include "tests/forward/MosquittoServer.h"

#include "support/FreePort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace q31::test {

namespace {

constexpr const char* kBroker = "/usr/sbin/mosquitto";
constexpr const char* kPasswd = "/usr/bin/mosquitto_passwd";

bool Accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

int Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& logPath) {
    // Everything the child needs is made before the fork: other threads (the
    // clients' network threads) may hold the allocator's lock at that moment.
    std::vector<std::string> copy = args;
    std::string name = program;
    std::vector<char*> argv{name.data()};
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(devnull, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execv(name.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(log);
    ::close(devnull);
    return pid;
}

}  // namespace

std::string MakeScratchDir(const std::string& stem) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + stem + ".XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};
    return pattern;
}

bool RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& dir) {
    const int pid = Spawn(program, args, dir + "/run.log");
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool MosquittoServer::Available() { return ::access(kBroker, X_OK) == 0 && ::access(kPasswd, X_OK) == 0; }

MosquittoServer::MosquittoServer(MosquittoAccess access) : access_(std::move(access)) {
    dir_ = MakeScratchDir("q31-mosquitto");
    port_ = FreeLoopbackPort();
    std::ofstream conf(dir_ + "/mosquitto.conf");
    conf << "listener " << port_ << " 127.0.0.1\n";
    if (!access_.caFile.empty())
        conf << "cafile " << access_.caFile << "\ncertfile " << access_.certFile << "\nkeyfile " << access_.keyFile
             << "\n";
    if (access_.user.empty()) {
        conf << "allow_anonymous true\n";
    } else {
        RunProgram(kPasswd, {"-c", "-b", dir_ + "/passwd", access_.user, access_.password}, dir_);
        conf << "allow_anonymous false\npassword_file " << dir_ << "/passwd\n";
    }
    if (!access_.denyTopic.empty()) {
        std::ofstream(dir_ + "/acl") << "topic readwrite #\ntopic deny " << access_.denyTopic << "\n";
        conf << "acl_file " << dir_ << "/acl\n";
    }
    // Run as root (in CI), the broker would switch to a user that may not
    // write the directory; "root" keeps it as it is.
    conf << "user root\n"
         << "persistence true\npersistence_location " << dir_ << "/\n"
         << "log_dest file " << dir_ << "/mosquitto.log\nlog_type all\n";
}

MosquittoServer::~MosquittoServer() {
    Stop();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool MosquittoServer::Start() {
    if (pid_ > 0) return true;
    pid_ = Spawn(kBroker, {"-c", dir_ + "/mosquitto.conf"}, dir_ + "/broker.out");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Accepts(port_)) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void MosquittoServer::Pause() {
    if (pid_ > 0) ::kill(pid_, SIGSTOP);
}

void MosquittoServer::Resume() {
    if (pid_ > 0) ::kill(pid_, SIGCONT);
}

void MosquittoServer::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);  // a paused broker takes the SIGTERM only once it runs
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string MosquittoServer::Log() const {
    std::string text;
    for (const char* name : {"/broker.out", "/mosquitto.log"}) {
        std::ifstream in(dir_ + name);
        std::stringstream s;
        if (in) s << in.rdbuf();
        text += s.str();
    }
    return text;
}

}  // namespace q31::test
