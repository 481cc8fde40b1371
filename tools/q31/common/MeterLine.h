// One line to the meters, opened as its LinePlan says: the serial port with
// its speed and framing, a serial server on the network (tcp://,
// rfc2217://, opened by the plug-in), or a virtual line. A virtual line is the q31-sim
// program, started beside this one on a pseudo-terminal and ended with the
// line: the operator's programs carry no meter of their own.
#pragma once

#include <string>

#include "platform/SerialPort.h"
#include "support/ChildProcess.h"
#include "tools/q31/common/LinePlan.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool {

class MeterLine {
public:
    // Never throws: a line that cannot be had says why through Error().
    // A network line is opened through `plugin`'s port exports; without a
    // plug-in it cannot be had.
    explicit MeterLine(const LinePlan& plan, const PluginApi* plugin = nullptr);
    ~MeterLine();
    MeterLine(const MeterLine&) = delete;
    MeterLine& operator=(const MeterLine&) = delete;

    bool Open() const { return PortUsable(handle_); }
    PortHandle Handle() const { return handle_; }
    // The device, or the virtual line's pseudo-terminal.
    const std::string& Path() const { return path_; }
    bool Virtual() const { return virtual_; }
    // A serial server on the network: Error() says all there is to say.
    bool Remote() const { return remote_ != nullptr; }
    // The port named is no device and no URL the plug-in takes (an operator's slip, not a fault of the line).
    bool BadUrl() const { return badUrl_; }
    // Whether `port` names a serial server on the network rather than a device.
    static bool IsUrl(const std::string& port) { return port.find("://") != std::string::npos; }
    // Why the line is not open, and, when the port would not open, the
    // system's error (0 when the virtual meter did not start).
    const std::string& Error() const { return error_; }
    int OsError() const { return osError_; }
    // The port could not be had because another program holds it.
    bool Busy() const { return busy_; }

    // Where q31-sim is looked for: beside this program (an install's bin/),
    // in sim/ below it (a build tree), else on the PATH; empty when nowhere.
    static std::string SimProgram();

private:
    bool StartSim(const LinePlan& plan);
    void OpenRemote(const LinePlan& plan, const PluginApi* plugin);

    ChildProcess sim_;
    bool virtual_ = false;
    std::string path_;
    PortHandle handle_ = kNoPort;
    std::string error_;
    int osError_ = 0;
    bool busy_ = false;
    bool badUrl_ = false;
    // The plug-in that opened the port, which closes it again.
    const PluginApi* remote_ = nullptr;
};

}  // namespace q31::tool
