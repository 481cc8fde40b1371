// The read requests of the context API as plain calls: each starts one
// request on the tool's session, pumps until its callback, and hands back the
// data, or throws a ToolError that says what went wrong on the line.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tools/q31/common/LineTrace.h"
#include "tools/q31/common/PendingCall.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool {

// A block of log records as the plug-in hands them over.
struct LogBlock {
    std::uint32_t recordSize = 0;
    std::vector<std::uint8_t> bytes;  // records one after the other
    std::uint32_t Count() const { return recordSize ? static_cast<std::uint32_t>(bytes.size() / recordSize) : 0; }
};

class MeterReader {
public:
    // Opens the session on `port`; `trace` sees every event of its line.
    MeterReader(PluginApi& api, PortHandle port, const q31_options& options, LineTrace& trace);
    ~MeterReader();
    MeterReader(const MeterReader&) = delete;
    MeterReader& operator=(const MeterReader&) = delete;

    // Identifies the meter, whatever its serial number.
    SDevIdent Identify();
    // The identity later requests name; a meter with another serial number
    // then ends them with kExitOtherMeter.
    void Expect(const SDevIdent& ident) { expected_ = ident; }

    std::uint32_t ModuleCount();
    SModuleRecord ModuleRecord(std::uint32_t module);
    SCurrentData Current();
    SAccumulatedData Totals();
    SArhiveCount Counters();
    // One series from record `start`, oldest value first, widened to 64 bits.
    std::vector<std::int64_t> Series(int series, std::uint32_t module, std::uint32_t start);
    std::vector<std::uint16_t> ErrorHeadDevice();
    std::vector<std::uint16_t> ErrorHeadModule(std::uint32_t module);
    LogBlock ErrorBlockDevice(std::uint32_t block);
    LogBlock ErrorBlockModule(std::uint32_t module, std::uint32_t block);
    std::uint16_t EditHeadModule(std::uint32_t module);
    LogBlock EditBlockModule(std::uint32_t module);

private:
    template <typename Start>
    void Run(const char* what, Start start);

    PluginApi& api_;
    LineTrace& trace_;
    q31_session* session_ = nullptr;
    int quietBoundMs_;  // the plug-in's longest silence of the line
    SDevIdent expected_{};
    PendingCall call_;
};

}  // namespace q31::tool
