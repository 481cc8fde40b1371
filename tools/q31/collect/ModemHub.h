// The modems that call the collector: one thread listens, takes each
// caller's registration, and relays between the modem registered as ID and
// the session end of ID's line, a socket pair made once per id. The meters'
// sessions keep that end for the whole run, whichever call of the modem
// carries it: a modem that calls again replaces its old call, and until it
// has called the line simply has no modem. Heartbeats are taken out on the
// way in. One thread for every modem: threads grow with channels, not with
// calls or meters.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"
#include "tools/q31/collect/CollectOutput.h"
#include "tools/q31/collect/HeartbeatFilter.h"
#include "tools/q31/collect/ModemRegistration.h"
#include "tools/q31/collect/ModemSettings.h"

namespace q31::tool::collect {

// "modem:ID" names the line behind the modem ID; empty for any other port.
std::string ModemIdOf(const std::string& port);

class ModemHub {
public:
    using Clock = std::chrono::steady_clock;
    using News = std::vector<std::pair<LogLevel, std::string>>;

    explicit ModemHub(ModemSettings settings);
    ~ModemHub();
    ModemHub(const ModemHub&) = delete;
    ModemHub& operator=(const ModemHub&) = delete;

    // Makes the line of each id not known yet. False when a socket pair
    // cannot be had.
    bool Expect(const std::vector<std::string>& ids);
    // Listens and starts relaying; false with the reason when the address
    // cannot be had.
    bool Start(std::string* error);
    void Stop();
    int Port() const { return port_; }
    const std::string& Listen() const { return settings_.listen; }

    // The session end of the id's line (kNoPort for an id not expected).
    PortHandle Handle(const std::string& id) const;
    // The id's modem has called and its call lasts.
    bool Connected(const std::string& id) const;
    // What happened since the last call, for the collector's log.
    News TakeNews();

private:
    struct Modem {
        int sessionEnd = -1;  // the session's handle
        int hubEnd = -1;
        int call = -1;  // the modem's socket; -1 before it called or after it hung up
        std::unique_ptr<HeartbeatFilter> filter;
        Clock::time_point lastIn{};
    };
    struct Caller {
        int socket = -1;
        Clock::time_point since;
        ModemRegistration registration;
    };

    void Run();
    void Accept();
    // Reads a caller's registration; true when it is done with (bound or hung up on).
    bool Register(Caller& caller);
    void Bind(const std::string& id, int socket, const std::vector<std::uint8_t>& rest);
    void FromModem(const std::string& id, Modem& m);
    void FromSession(const std::string& id, Modem& m);
    void HangUp(const std::string& id, Modem& m, const std::string& why);
    void Tell(LogLevel level, std::string text);

    ModemSettings settings_;
    int listener_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;  // guards everything below but the flag
    std::map<std::string, Modem> modems_;
    std::vector<Caller> callers_;
    std::set<std::string> strangers_;  // unknown ids, told once
    News news_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace q31::tool::collect
