// The read requests of the context API as plain calls: each starts one
// request on the tool's session, pumps until its callback, and hands back the
// data, or throws a ToolError that says what went wrong on the line.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tools/q31/LineTrace.h"
#include "tools/q31/PluginApi.h"

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

    static void Q31_CALL OnIdent(const q31_result* r, const SDevIdent* ident, void* user);
    static void Q31_CALL OnCount(const q31_result* r, std::uint32_t count, void* user);
    static void Q31_CALL OnModule(const q31_result* r, const SModuleRecord* record, void* user);
    static void Q31_CALL OnCurrent(const q31_result* r, const SCurrentData* data, void* user);
    static void Q31_CALL OnTotals(const q31_result* r, const SAccumulatedData* data, void* user);
    static void Q31_CALL OnCounters(const q31_result* r, const SArhiveCount* counters, void* user);
    static void Q31_CALL OnSeries(const q31_result* r, const void* values, std::uint32_t count, std::uint32_t size,
                                  void* user);
    static void Q31_CALL OnWords(const q31_result* r, const std::uint16_t* words, std::uint32_t count, void* user);
    static void Q31_CALL OnRecords(const q31_result* r, const std::uint8_t* records, std::uint32_t count,
                                   std::uint32_t size, void* user);
    // Keeps how the request ended and `bytes` of its data.
    void Done(const q31_result* r, const void* data, std::size_t bytes, std::uint32_t count, std::uint32_t size);

    PluginApi& api_;
    LineTrace& trace_;
    q31_session* session_ = nullptr;
    int timeoutMs_;
    SDevIdent expected_{};
    bool done_ = false;
    q31_result result_{};
    std::vector<std::uint8_t> data_;
    std::uint32_t count_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace q31::tool
