#include "tools/q31/collect/ModemHub.h"

#include <algorithm>

#include "support/TcpSocket.h"

namespace q31::tool::collect {

namespace {

// How long the relay sleeps at most between looks: bounds how late a held
// byte that starts no heartbeat goes on, and how late Stop is noticed.
constexpr int kSliceMs = 20;
// A session end or a modem that takes nothing for this long is not waited for.
constexpr int kWriteTimeoutMs = 1000;
constexpr std::size_t kChunk = 4096;

}  // namespace

std::string ModemIdOf(const std::string& port) { return port.rfind("modem:", 0) == 0 ? port.substr(6) : ""; }

ModemHub::ModemHub(ModemSettings settings) : settings_(std::move(settings)) {}

ModemHub::~ModemHub() {
    Stop();
    for (auto& [id, m] : modems_) {
        SocketClose(m.call);
        SocketClose(m.sessionEnd);
        SocketClose(m.hubEnd);
    }
    for (Caller& c : callers_) SocketClose(c.socket);
    SocketClose(listener_);
}

bool ModemHub::Expect(const std::vector<std::string>& ids) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& id : ids) {
        if (modems_.count(id)) continue;
        int fds[2];
        if (!SocketPairOpen(fds)) return false;
        Modem& m = modems_[id];
        m.sessionEnd = fds[0];
        m.hubEnd = fds[1];
        m.filter = std::make_unique<HeartbeatFilter>(settings_.heartbeats);
    }
    return true;
}

bool ModemHub::Start(std::string* error) {
    std::string host;
    if (!SplitHostPort(settings_.listen, host, port_)) {
        if (error) *error = "listen: not HOST:PORT: " + settings_.listen;
        return false;
    }
    // ":PORT" is every interface, as for the status page.
    if (settings_.listen.front() == ':') host = "0.0.0.0";
    // A modem that hangs up while its reply is relayed must not end the collector.
    IgnoreBrokenPipes();
    listener_ = TcpListen(host, port_, error);
    if (listener_ < 0) return false;
    port_ = TcpLocalPort(listener_);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ModemHub::Stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
}

PortHandle ModemHub::Handle(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = modems_.find(id);
    return it == modems_.end() ? kNoPort : it->second.sessionEnd;
}

bool ModemHub::Connected(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = modems_.find(id);
    return it != modems_.end() && it->second.call >= 0;
}

ModemHub::News ModemHub::TakeNews() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(news_, {});
}

void ModemHub::Tell(LogLevel level, std::string text) { news_.emplace_back(level, std::move(text)); }

void ModemHub::Run() {
    std::vector<SocketPoll> fds;
    while (!stopping_.load()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fds.assign(1, {listener_, false});
            for (const Caller& c : callers_) fds.push_back({c.socket, false});
            for (const auto& [id, m] : modems_) {
                fds.push_back({m.hubEnd, false});
                if (m.call >= 0) fds.push_back({m.call, false});
            }
        }
        if (!WaitReadable(fds, kSliceMs)) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (fds[0].readable) Accept();
        const auto now = Clock::now();
        // Callers first: one that registers takes its modem's line before
        // the line is read below.
        std::erase_if(callers_, [&](Caller& c) {
            if (Register(c)) return true;
            if (now - c.since < std::chrono::seconds(settings_.registerTimeoutS)) return false;
            Tell(LogLevel::Warn,
                 "a caller sent no registration in " + std::to_string(settings_.registerTimeoutS) + " s: hung up");
            SocketClose(c.socket);
            return true;
        });
        for (auto& [id, m] : modems_) {
            FromSession(id, m);
            if (m.call >= 0) FromModem(id, m);
        }
    }
}

void ModemHub::Accept() {
    for (;;) {
        const int socket = TcpAccept(listener_);
        if (socket < 0) return;
        callers_.push_back({socket, Clock::now(), ModemRegistration(settings_)});
    }
}

bool ModemHub::Register(Caller& c) {
    std::uint8_t chunk[256];
    for (;;) {
        const int n = SocketReadSome(c.socket, chunk, sizeof chunk);
        if (n == 0) return false;
        if (n < 0) {
            SocketClose(c.socket);
            return true;
        }
        const auto state = c.registration.Feed(std::span<const std::uint8_t>(chunk, static_cast<std::size_t>(n)));
        if (state == ModemRegistration::State::Incomplete) continue;
        if (state == ModemRegistration::State::Refused) {
            Tell(LogLevel::Warn, "a caller sent no registration this collector takes: hung up");
            SocketClose(c.socket);
            return true;
        }
        const std::string& id = c.registration.Id();
        if (!modems_.count(id)) {
            // Once per id: a stranger that redials every minute is not news every minute.
            if (strangers_.insert(id).second)
                Tell(LogLevel::Warn, "modem " + id + " called in, but no meter is on modem:" + id + ": hung up");
            SocketClose(c.socket);
            return true;
        }
        Bind(id, c.socket, c.registration.Rest());
        return true;
    }
}

void ModemHub::Bind(const std::string& id, int socket, const std::vector<std::uint8_t>& rest) {
    Modem& m = modems_.at(id);
    const bool again = m.call >= 0;
    SocketClose(m.call);
    m.call = socket;
    std::vector<std::uint8_t> drop;
    // What the old call left held back is no part of the new one.
    m.filter->Flush(drop);
    m.lastIn = Clock::now();
    Tell(LogLevel::Info, "modem " + id + (again ? " called again: its new call replaces the old one" : " called in"));
    if (rest.empty()) return;
    std::vector<std::uint8_t> out;
    m.filter->Feed(rest, out);
    if (!out.empty()) (void)SocketWriteAll(m.hubEnd, out.data(), out.size(), kWriteTimeoutMs);
}

void ModemHub::FromModem(const std::string& id, Modem& m) {
    std::uint8_t chunk[kChunk];
    std::vector<std::uint8_t> out;
    const auto now = Clock::now();
    for (;;) {
        const int n = SocketReadSome(m.call, chunk, sizeof chunk);
        if (n < 0) {
            m.filter->Flush(out);
            if (!out.empty()) (void)SocketWriteAll(m.hubEnd, out.data(), out.size(), kWriteTimeoutMs);
            HangUp(id, m, "hung up");
            return;
        }
        if (n == 0) break;
        m.lastIn = now;
        m.filter->Feed(std::span<const std::uint8_t>(chunk, static_cast<std::size_t>(n)), out);
    }
    // Held bytes that no heartbeat followed belong to the meter's reply.
    if (m.filter->Holding() && now - m.lastIn >= std::chrono::milliseconds(kSliceMs)) m.filter->Flush(out);
    if (!out.empty() && !SocketWriteAll(m.hubEnd, out.data(), out.size(), kWriteTimeoutMs))
        Tell(LogLevel::Warn, "modem " + id + ": the meters' session took nothing for a second: bytes dropped");
}

void ModemHub::FromSession(const std::string& id, Modem& m) {
    std::uint8_t chunk[kChunk];
    for (;;) {
        const int n = SocketReadSome(m.hubEnd, chunk, sizeof chunk);
        if (n <= 0) return;
        // No call: the request goes nowhere, as on a line whose modem is off,
        // and the session's time-out tells.
        if (m.call >= 0 && !SocketWriteAll(m.call, chunk, static_cast<std::size_t>(n), kWriteTimeoutMs))
            HangUp(id, m, "took no request");
    }
}

void ModemHub::HangUp(const std::string& id, Modem& m, const std::string& why) {
    SocketClose(m.call);
    m.call = -1;
    Tell(LogLevel::Info, "modem " + id + " " + why + ": waiting for it to call again");
}

}  // namespace q31::tool::collect
