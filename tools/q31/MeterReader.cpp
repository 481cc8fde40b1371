#include "tools/q31/MeterReader.h"

#include <chrono>
#include <cstring>
#include <string>

#include "support/HostPort.h"
#include "tools/q31/ToolError.h"

namespace q31::tool {

namespace {
constexpr int kPumpSliceMs = 50;
// The session ends every request by itself once its send limit is spent;
// a line with no event at all for this long means nothing will come.
constexpr int kQuietSlackMs = 5000;
}  // namespace

MeterReader::MeterReader(PluginApi& api, PortHandle port, const q31_options& options, LineTrace& trace)
    : api_(api), trace_(trace), timeoutMs_(options.timeout_ms) {
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
    done_ = false;
    result_ = {};
    data_.clear();
    count_ = size_ = 0;
    const LineCounts before = trace_.Counts();
    const int status = start();
    if (status != Q31_OK)
        throw ToolError(status == Q31_ERR_ARGUMENT || status == Q31_ERR_DEVICE_TYPE ? kExitBadArgument : kExitFailure,
                        std::string(what) + ": the plug-in refused the request: " + api_.strerror(status));
    using Clock = std::chrono::steady_clock;
    auto lastChange = Clock::now();
    std::int64_t lastEvent = trace_.LastEventUs();
    const auto quiet = std::chrono::milliseconds(3 * static_cast<long long>(timeoutMs_) + kQuietSlackMs);
    while (!done_) {
        api_.PumpMessages(kPumpSliceMs);
        if (done_) break;
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
    switch (result_.status) {
        case Q31_OK: return;
        case Q31_OTHER_METER:
            throw ToolError(kExitOtherMeter, std::string("another meter answered the ") + what +
                                                 ": expected serial number " + std::to_string(result_.expected_serial) +
                                                 ", found " + std::to_string(result_.found_serial));
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
        default: throw ToolError(kExitFailure, std::string(what) + ": " + api_.strerror(result_.status));
    }
}

void MeterReader::Done(const q31_result* r, const void* data, std::size_t bytes, std::uint32_t count,
                       std::uint32_t size) {
    result_ = *r;
    if (r->status == Q31_OK && data && bytes) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        data_.assign(p, p + bytes);
    }
    count_ = count;
    size_ = size;
    done_ = true;
}

void Q31_CALL MeterReader::OnIdent(const q31_result* r, const SDevIdent* ident, void* user) {
    static_cast<MeterReader*>(user)->Done(r, ident, sizeof *ident, 1, sizeof *ident);
}
void Q31_CALL MeterReader::OnCount(const q31_result* r, std::uint32_t count, void* user) {
    static_cast<MeterReader*>(user)->Done(r, nullptr, 0, count, 0);
}
void Q31_CALL MeterReader::OnModule(const q31_result* r, const SModuleRecord* record, void* user) {
    static_cast<MeterReader*>(user)->Done(r, record, sizeof *record, 1, sizeof *record);
}
void Q31_CALL MeterReader::OnCurrent(const q31_result* r, const SCurrentData* data, void* user) {
    static_cast<MeterReader*>(user)->Done(r, data, sizeof *data, 1, sizeof *data);
}
void Q31_CALL MeterReader::OnTotals(const q31_result* r, const SAccumulatedData* data, void* user) {
    static_cast<MeterReader*>(user)->Done(r, data, sizeof *data, 1, sizeof *data);
}
void Q31_CALL MeterReader::OnCounters(const q31_result* r, const SArhiveCount* counters, void* user) {
    static_cast<MeterReader*>(user)->Done(r, counters, sizeof *counters, 1, sizeof *counters);
}
void Q31_CALL MeterReader::OnSeries(const q31_result* r, const void* values, std::uint32_t count, std::uint32_t size,
                                    void* user) {
    static_cast<MeterReader*>(user)->Done(r, values, static_cast<std::size_t>(count) * size, count, size);
}
void Q31_CALL MeterReader::OnWords(const q31_result* r, const std::uint16_t* words, std::uint32_t count, void* user) {
    static_cast<MeterReader*>(user)->Done(r, words, count * sizeof *words, count, sizeof *words);
}
void Q31_CALL MeterReader::OnRecords(const q31_result* r, const std::uint8_t* records, std::uint32_t count,
                                     std::uint32_t size, void* user) {
    static_cast<MeterReader*>(user)->Done(r, records, static_cast<std::size_t>(count) * size, count, size);
}

namespace {
template <typename T>
T As(const std::vector<std::uint8_t>& data) {
    T out{};
    std::memcpy(&out, data.data(), data.size() < sizeof out ? data.size() : sizeof out);
    return out;
}
}  // namespace

SDevIdent MeterReader::Identify() {
    Run("identification", [&] { return api_.get_id(session_, &OnIdent, this); });
    return As<SDevIdent>(data_);
}

std::uint32_t MeterReader::ModuleCount() {
    Run("module count", [&] { return api_.get_module_count(session_, &expected_, &OnCount, this); });
    return count_ & 0xFF;
}

SModuleRecord MeterReader::ModuleRecord(std::uint32_t module) {
    Run("module record", [&] { return api_.get_module_record(session_, &expected_, module, &OnModule, this); });
    return As<SModuleRecord>(data_);
}

SCurrentData MeterReader::Current() {
    Run("current values", [&] { return api_.get_current_data(session_, &expected_, &OnCurrent, this); });
    return As<SCurrentData>(data_);
}

SAccumulatedData MeterReader::Totals() {
    Run("totals", [&] { return api_.get_accumulated_data(session_, &expected_, &OnTotals, this); });
    return As<SAccumulatedData>(data_);
}

SArhiveCount MeterReader::Counters() {
    Run("archive counters", [&] { return api_.get_archive_count(session_, &expected_, &OnCounters, this); });
    return As<SArhiveCount>(data_);
}

std::vector<std::int64_t> MeterReader::Series(int series, std::uint32_t module, std::uint32_t start) {
    Run("archive series", [&] {
        return api_.get_archive_series(session_, &expected_, static_cast<q31_series>(series), module, start, &OnSeries,
                                       this);
    });
    std::vector<std::int64_t> values(count_);
    for (std::uint32_t i = 0; i < count_ && (i + 1) * size_ <= data_.size(); ++i) {
        if (size_ == 8) {
            std::memcpy(&values[i], &data_[i * 8], 8);
        } else {
            std::int32_t v = 0;
            std::memcpy(&v, &data_[i * 4], 4);
            values[i] = v;
        }
    }
    return values;
}

std::vector<std::uint16_t> MeterReader::ErrorHeadDevice() {
    Run("device error-log head", [&] { return api_.get_error_head_device(session_, &expected_, &OnWords, this); });
    std::vector<std::uint16_t> words(count_);
    std::memcpy(words.data(), data_.data(), data_.size());
    return words;
}

std::vector<std::uint16_t> MeterReader::ErrorHeadModule(std::uint32_t module) {
    Run("module error-log head",
        [&] { return api_.get_error_head_module(session_, &expected_, module, &OnWords, this); });
    std::vector<std::uint16_t> words(count_);
    std::memcpy(words.data(), data_.data(), data_.size());
    return words;
}

LogBlock MeterReader::ErrorBlockDevice(std::uint32_t block) {
    Run("device error-log block",
        [&] { return api_.get_error_block_device(session_, &expected_, block, &OnRecords, this); });
    return {size_, data_};
}

LogBlock MeterReader::ErrorBlockModule(std::uint32_t module, std::uint32_t block) {
    Run("module error-log block",
        [&] { return api_.get_error_block_module(session_, &expected_, module, block, &OnRecords, this); });
    return {size_, data_};
}

std::uint16_t MeterReader::EditHeadModule(std::uint32_t module) {
    Run("edit-log head", [&] { return api_.get_edit_head_module(session_, &expected_, module, &OnWords, this); });
    return As<std::uint16_t>(data_);
}

LogBlock MeterReader::EditBlockModule(std::uint32_t module) {
    Run("edit log", [&] { return api_.get_edit_block_module(session_, &expected_, module, &OnRecords, this); });
    return {size_, data_};
}

}  // namespace q31::tool
