// Tells the service manager how a long-running tool is doing: set up and
// ready, still turning its loop (the watchdog), reloading, stopping. Started
// by hand or from cron there is no manager to tell (no NOTIFY_SOCKET), and a
// build without libsystemd has none either: then every call does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace q31 {

class ServiceNotify {
public:
    // Reads the watchdog interval the manager gave, if any.
    ServiceNotify();

    // Set-up is done and the work begins; `status` is what `systemctl status` shows.
    void Ready(std::string_view status);
    // Called on every turn of the loop; pings the watchdog at most every half
    // of its interval, so a loop that hangs is restarted and a busy one costs
    // a clock read per turn.
    void Alive();
    // Before a configuration is read again; Ready() follows when it is in force.
    void Reloading();
    void Stopping();
    void Status(std::string_view text);

private:
    void Send(const std::string& state);

    std::chrono::microseconds pingEvery_{0};
    std::chrono::steady_clock::time_point lastPing_{};
    bool pinged_ = false;
};

}  // namespace q31
