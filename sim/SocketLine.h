// The virtual meter's bus behind a serial device server in TCP server mode:
// it listens, and serves one client at a time. A new client takes the line
// over from the one before (a device server that has lost track of a dead
// client does the same), and a client that goes away leaves the line free.
#pragma once

#include <string>
#include <utility>

#include "sim/SimLine.h"

namespace q31::sim {

class SocketLine : public SimLine {
public:
    // `address` as HOST:PORT; port 0 takes any free one.
    SocketLine(std::string host, int port) : host_(std::move(host)), port_(port) {}
    ~SocketLine() override;

    bool Open() override;
    const std::string& Name() const override { return name_; }
    int Connection(int waitMs) override;
    bool Lost() override;
    void HangUp() override { Lost(); }
    // The reason Open failed.
    const std::string& Error() const { return error_; }

private:
    std::string host_;
    int port_;
    std::string name_;
    std::string error_;
    int listener_ = -1;
    int client_ = -1;
};

}  // namespace q31::sim
