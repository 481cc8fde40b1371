#include "sim/ModemLine.h"

#include <thread>

#include "support/TcpSocket.h"

namespace q31::sim {

namespace {

// A modem redials at once, but not in a tight loop against a server that
// is not there.
constexpr auto kRedialPause = std::chrono::milliseconds(200);
constexpr int kConnectTimeoutMs = 1000;
constexpr int kWriteTimeoutMs = 1000;

}  // namespace

ModemLine::ModemLine(ModemOptions options)
    : options_(std::move(options)),
      name_("modem " + options_.id + " -> " + options_.host + ":" + std::to_string(options_.port)) {}

ModemLine::~ModemLine() { SocketClose(socket_); }

bool ModemLine::Open() {
    // The meter writes with the pseudo-terminal's calls, which raise SIGPIPE
    // on a socket whose far end hung up.
    IgnoreBrokenPipes();
    return true;
}

int ModemLine::Connection(int waitMs) {
    if (socket_ >= 0) return socket_;
    const auto now = Clock::now();
    if (now < redialAt_) {
        std::this_thread::sleep_for(std::min<Clock::duration>(redialAt_ - now, std::chrono::milliseconds(waitMs)));
        return -1;
    }
    socket_ = TcpConnect(options_.host, options_.port, kConnectTimeoutMs);
    if (socket_ >= 0) {
        const std::string registration = options_.id + "\n";
        if (!SocketWriteAll(socket_, reinterpret_cast<const std::uint8_t*>(registration.data()), registration.size(),
                            kWriteTimeoutMs)) {
            Lost();
            return -1;
        }
        ++calls_;
        lastBeat_ = Clock::now();
        return socket_;
    }
    redialAt_ = now + kRedialPause;
    return -1;
}

bool ModemLine::Lost() {
    SocketClose(socket_);
    socket_ = -1;
    redialAt_ = Clock::now() + kRedialPause;
    return true;
}

void ModemLine::Idle() {
    if (socket_ < 0 || options_.heartbeat.empty() || options_.everyMs <= 0) return;
    const auto now = Clock::now();
    if (now - lastBeat_ < std::chrono::milliseconds(options_.everyMs)) return;
    lastBeat_ = now;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(options_.heartbeat.data());
    if (!SocketWriteAll(socket_, bytes, options_.heartbeat.size(), kWriteTimeoutMs)) Lost();
}

}  // namespace q31::sim
