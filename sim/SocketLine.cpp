#include "sim/SocketLine.h"

#include <vector>

#include "support/TcpSocket.h"

namespace q31::sim {

SocketLine::~SocketLine() {
    SocketClose(client_);
    SocketClose(listener_);
}

bool SocketLine::Open() {
    if (listener_ >= 0) return true;
    // The meter writes with the pseudo-terminal's calls, which raise SIGPIPE
    // on a socket whose client went away.
    IgnoreBrokenPipes();
    listener_ = TcpListen(host_, port_, &error_);
    if (listener_ < 0) return false;
    const bool v6 = host_.find(':') != std::string::npos;
    name_ = "tcp://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(TcpLocalPort(listener_));
    return true;
}

int SocketLine::Connection(int waitMs) {
    // The listener is watched while a client is served too: a newcomer
    // replaces it, and a host that reconnects after its own time-out finds
    // the meter again.
    std::vector<SocketPoll> fds{{listener_, false}};
    if (client_ >= 0) {
        if (!WaitReadable(fds, 0) || !fds[0].readable) return client_;
    } else if (!WaitReadable(fds, waitMs) || !fds[0].readable) {
        return -1;
    }
    const int fresh = TcpAccept(listener_);
    if (fresh < 0) return client_;
    SocketClose(client_);
    client_ = fresh;
    return client_;
}

bool SocketLine::Lost() {
    SocketClose(client_);
    client_ = -1;
    return true;
}

}  // namespace q31::sim
