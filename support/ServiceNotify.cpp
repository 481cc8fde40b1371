#include "support/ServiceNotify.h"

#ifdef Q31_HAVE_SYSTEMD
#  include <systemd/sd-daemon.h>
#  include <time.h>
#endif

namespace q31 {

ServiceNotify::ServiceNotify() {
#ifdef Q31_HAVE_SYSTEMD
    std::uint64_t usec = 0;
    // The environment is left in place: a reload notifies again later.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        pingEvery_ = std::chrono::microseconds(static_cast<std::int64_t>(usec / 2));
#endif
}

void ServiceNotify::Ready(std::string_view status) { Send("READY=1\nSTATUS=" + std::string(status)); }

void ServiceNotify::Alive() {
    if (pingEvery_.count() == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (pinged_ && now - lastPing_ < pingEvery_) return;
    pinged_ = true;
    lastPing_ = now;
    Send("WATCHDOG=1");
}

void ServiceNotify::Reloading() {
    std::string state = "RELOADING=1";
#ifdef Q31_HAVE_SYSTEMD
    // Managers that track reloads themselves match the message to the reload
    // request by this time stamp; older ones ignore it.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto usec = static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
    state += "\nMONOTONIC_USEC=" + std::to_string(usec);
#endif
    Send(state);
}

void ServiceNotify::Stopping() { Send("STOPPING=1"); }

void ServiceNotify::Status(std::string_view text) { Send("STATUS=" + std::string(text)); }

void ServiceNotify::Send([[maybe_unused]] const std::string& state) {
#ifdef Q31_HAVE_SYSTEMD
    // A manager that cannot be reached is no reason to stop collecting.
    sd_notify(0, state.c_str());
#endif
}

}  // namespace q31
