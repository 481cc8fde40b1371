// A mosquitto broker of the test's own: on a free loopback port, with its
// configuration, persistence and log in a temporary directory that goes
// with it. It can be stopped and started again on the same port with the
// sessions it kept, as a broker that was down for a while.
#pragma once

#include <string>
#include <vector>

namespace q31::test {

struct MosquittoAccess {
    // When given, clients must log in so (anonymous ones are refused).
    std::string user;
    std::string password;
    // When given, the listener speaks TLS with these files.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    // When given, the broker refuses to take messages on topics this filter
    // matches (its acknowledgement says "not authorized").
    std::string denyTopic;
};

class MosquittoServer {
public:
    // The broker and mosquitto_passwd are installed.
    static bool Available();

    explicit MosquittoServer(MosquittoAccess access = {});
    ~MosquittoServer();
    MosquittoServer(const MosquittoServer&) = delete;
    MosquittoServer& operator=(const MosquittoServer&) = delete;

    // False when the broker did not take connections within 10 s (see Log()).
    bool Start();
    void Stop();
    // Freezes the broker (SIGSTOP): connections stay open, nothing is answered.
    void Pause();
    void Resume();

    int Port() const { return port_; }
    const std::string& Dir() const { return dir_; }
    std::string Log() const;

private:
    MosquittoAccess access_;
    std::string dir_;
    int port_ = 0;
    int pid_ = -1;
};

// A fresh directory under TMPDIR (or /tmp); empty when none could be made.
std::string MakeScratchDir(const std::string& stem);

// Runs `program` with its output in `dir`/run.log; true when it exits with 0.
bool RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& dir);

}  // namespace q31::test
