// The virtual meter's bus behind a modem that calls the collector: it
// connects out to HOST:PORT, sends its registration (the id and a line
// feed), then a heartbeat every so often while the call lasts. A call that
// ends, by the far end or by a fault, is made again after a short pause, as
// a modem redials.
#pragma once

#include <chrono>
#include <string>

#include "sim/SimLine.h"

namespace q31::sim {

struct ModemOptions {
    std::string host;
    int port = 0;
    std::string id;         // the registration
    std::string heartbeat;  // empty: none
    int everyMs = 0;        // between heartbeats
};

class ModemLine : public SimLine {
public:
    explicit ModemLine(ModemOptions options);
    ~ModemLine() override;

    bool Open() override;
    const std::string& Name() const override { return name_; }
    int Connection(int waitMs) override;
    bool Lost() override;
    void HangUp() override { Lost(); }
    void Idle() override;

    // Calls made that were answered, since the start.
    int Calls() const { return calls_; }

private:
    using Clock = std::chrono::steady_clock;

    ModemOptions options_;
    std::string name_;
    int socket_ = -1;
    int calls_ = 0;
    Clock::time_point redialAt_{};
    Clock::time_point lastBeat_{};
};

}  // namespace q31::sim
