#include "tools/q31/cli/MeterReader.h"

#include <chrono>
#include <cstring>
#include <string>

#include "support/HostPort.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool {

namespace {
constexpr int kPumpSliceMs = 50;
// The session ends every request by itself once its send limit is spent;
// a line with no event for longer than the plug-in's bound, by this much,
// means nothing will come.
constexpr int kQuietSlackMs = 5000;
}  // namespace

MeterReader::MeterReader(PluginApi& api, PortHandle port, const q31_options& options, LineTrace& trace)
    : api_(api), trace_(trace), quietBoundMs_(api.quiet_bound_ms(&options)) {
    session_ = api_.session_open(static_cast<Q31PortHandle>(port), &options);
    if (!session_)
        throw ToolError(kExitBadArgument,
                        "the plug-in refused the line options (address, time-out, send limit, confirmation)");
    api_.session_set_trace(session_, &LineTrace::Handler, &trace_);
}

MeterReader::~MeterReader() {
    if (session_) api_.session_close(session_);
}

template <typename Start>
void MeterReader::Run(const char* what, Start start) {
    call_.Reset();
    const LineCounts before = trace_.Counts();
    const int status = start();
    if (status != Q31_OK)
        throw ToolError(status == Q31_ERR_ARGUMENT || status == Q31_ERR_DEVICE_TYPE ? kExitBadArgument : kExitFailure,
                        std::string(what) + ": the plug-in refused the request: " + api_.strerror(status));
    using Clock = std::chrono::steady_clock;
    auto lastChange = Clock::now();
    std::int64_t lastEvent = trace_.LastEventUs();
    const auto quiet = std::chrono::milliseconds(quietBoundMs_ + kQuietSlackMs);
    while (!call_.Done()) {
        api_.PumpMessages(kPumpSliceMs);
        if (call_.Done()) break;
        if (trace_.LastEventUs() != lastEvent) {
            lastEvent = trace_.LastEventUs();
            lastChange = Clock::now();
        } else if (Clock::now() - lastChange > quiet) {
            api_.cancel(session_);
            throw ToolError(kExitNoAnswer,
                            std::string("no answer from the meter to the ") + what +
                                " (the line fell silent): " + LineTrace::Describe(trace_.Counts() - before));
        }
    }
    const LineCounts spent = trace_.Counts() - before;
    switch (call_.Result().status) {
        case Q31_OK: return;
        case Q31_OTHER_METER:
            throw ToolError(kExitOtherMeter, std::string("another meter answered the ") + what +
                                                 ": expected serial number " +
                                                 std::to_string(call_.Result().expected_serial) + ", found " +
                                                 std::to_string(call_.Result().found_serial));
        case Q31_NO_ANSWER:
            throw ToolError(kExitNoAnswer, std::string("no answer from the meter to the ") + what + ": " +
                                               LineTrace::Describe(spent) +
                                               " (check the port, speed, parity, address and --echo)");
        case Q31_PORT_ERROR:
            throw ToolError(kExitPortFailed,
                            std::string("the port failed during the ") + what + ": " +
                                (spent.lastOsError ? HostPortErrorText(spent.lastOsError) : "write error"));
        case Q31_BEYOND_NEWEST:
            throw ToolError(kExitBadArgument, std::string(what) + ": the start lies past the newest record");
        default: throw ToolError(kExitFailure, std::string(what) + ": " + api_.strerror(call_.Result().status));
    }
}

SDevIdent MeterReader::Identify() {
    Run("identification", [&] { return api_.get_id(session_, &PendingCall::OnIdent, &call_); });
    return call_.As<SDevIdent>();
}

std::uint32_t MeterReader::ModuleCount() {
    Run("module count", [&] { return api_.get_module_count(session_, &expected_, &PendingCall::OnCount, &call_); });
    return call_.Count() & 0xFF;
}

SModuleRecord MeterReader::ModuleRecord(std::uint32_t module) {
    Run("module record",
        [&] { return api_.get_module_record(session_, &expected_, module, &PendingCall::OnModule, &call_); });
    return call_.As<SModuleRecord>();
}

SCurrentData MeterReader::Current() {
    Run("current values", [&] { return api_.get_current_data(session_, &expected_, &PendingCall::OnCurrent, &call_); });
    return call_.As<SCurrentData>();
}

SAccumulatedData MeterReader::Totals() {
    Run("totals", [&] { return api_.get_accumulated_data(session_, &expected_, &PendingCall::OnTotals, &call_); });
    return call_.As<SAccumulatedData>();
}

SArhiveCount MeterReader::Counters() {
    Run("archive counters",
        [&] { return api_.get_archive_count(session_, &expected_, &PendingCall::OnCounters, &call_); });
    return call_.As<SArhiveCount>();
}

std::vector<std::int64_t> MeterReader::Series(int series, std::uint32_t module, std::uint32_t start) {
    Run("archive series", [&] {
        return api_.get_archive_series(session_, &expected_, static_cast<q31_series>(series), module, start,
                                       &PendingCall::OnSeries, &call_);
    });
    return call_.Values();
}

std::vector<std::uint16_t> MeterReader::ErrorHeadDevice() {
    Run("device error-log head",
        [&] { return api_.get_error_head_device(session_, &expected_, &PendingCall::OnWords, &call_); });
    return call_.Words();
}

std::vector<std::uint16_t> MeterReader::ErrorHeadModule(std::uint32_t module) {
    Run("module error-log head",
        [&] { return api_.get_error_head_module(session_, &expected_, module, &PendingCall::OnWords, &call_); });
    return call_.Words();
}

LogBlock MeterReader::ErrorBlockDevice(std::uint32_t block) {
    Run("device error-log block",
        [&] { return api_.get_error_block_device(session_, &expected_, block, &PendingCall::OnRecords, &call_); });
    return {call_.Size(), call_.Bytes()};
}

LogBlock MeterReader::ErrorBlockModule(std::uint32_t module, std::uint32_t block) {
    Run("module error-log block", [&] {
        return api_.get_error_block_module(session_, &expected_, module, block, &PendingCall::OnRecords, &call_);
    });
    return {call_.Size(), call_.Bytes()};
}

std::uint16_t MeterReader::EditHeadModule(std::uint32_t module) {
    Run("edit-log head",
        [&] { return api_.get_edit_head_module(session_, &expected_, module, &PendingCall::OnWords, &call_); });
    return call_.As<std::uint16_t>();
}

LogBlock MeterReader::EditBlockModule(std::uint32_t module) {
    Run("edit log",
        [&] { return api_.get_edit_block_module(session_, &expected_, module, &PendingCall::OnRecords, &call_); });
    return {call_.Size(), call_.Bytes()};
}

}  // namespace q31::tool
