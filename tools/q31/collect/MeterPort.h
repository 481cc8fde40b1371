// One line of the collector: a serial port opened with its meters' line
// settings, or, for a port named sim:SEED, a virtual line started in this
// process on a pseudo-terminal, with a virtual meter for every meter entry
// that names the port. Meters that share a port share its line.
#pragma once

#include <memory>
#include <string>

#include "platform/SerialPort.h"
#include "tools/q31/collect/CollectConfig.h"

namespace q31::sim {
class PtyMeter;
}

namespace q31::tool::collect {

class MeterPort {
public:
    // `settings`: the first meter on the port, whose line settings (and, for a
    // virtual line, whose sim table's delay and clock) it takes; a virtual
    // line makes its meters from `settings.simLine`. Never throws: a port that
    // cannot be had says why through Error().
    explicit MeterPort(const MeterSettings& settings);
    ~MeterPort();
    MeterPort(const MeterPort&) = delete;
    MeterPort& operator=(const MeterPort&) = delete;

    bool Open() const { return PortUsable(handle_); }
    const std::string& Error() const { return error_; }
    // The port could not be had because another program holds it.
    bool Busy() const { return busy_; }
    PortHandle Handle() const { return handle_; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    std::unique_ptr<sim::PtyMeter> meter_;
    PortHandle handle_ = kNoPort;
    std::string error_;
    bool busy_ = false;
};

}  // namespace q31::tool::collect
