// The line to the meter: the port the operator named, opened with the
// chosen speed and framing, or the virtual meter on a pseudo-terminal when
// no port is named.
#pragma once

#include <memory>
#include <string>

#include "platform/SerialPort.h"
#include "tools/q31/common/GlobalOptions.h"

namespace q31::sim {
class PtyMeter;
}

namespace q31::tool {

class MeterLine {
public:
    // Throws ToolError: kExitPortOpen with the OS's reason, or kExitFailure
    // when the virtual meter cannot start.
    explicit MeterLine(const GlobalOptions& options);
    ~MeterLine();
    MeterLine(const MeterLine&) = delete;
    MeterLine& operator=(const MeterLine&) = delete;

    PortHandle Handle() const { return handle_; }
    const std::string& Path() const { return path_; }
    bool Virtual() const { return meter_ != nullptr; }

private:
    std::unique_ptr<sim::PtyMeter> meter_;
    std::string path_;
    PortHandle handle_ = kNoPort;
};

}  // namespace q31::tool
