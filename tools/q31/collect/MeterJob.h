// One pass over one meter, as a chain of requests on its own session: the
// identity, the module count, the snapshots that are due, the archive
// counters, every planned series from just after the newest stored record,
// and the logs whose heads moved. Nothing here blocks: the collector pumps
// the plug-in's messages and calls Poll, which stores a finished request's
// data (one transaction per batch) and starts the next request.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tools/q31/ExitStatus.h"
#include "tools/q31/LineTrace.h"
#include "tools/q31/PluginApi.h"
#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/CollectOutput.h"
#include "tools/q31/collect/CollectStore.h"
#include "tools/q31/collect/SeriesCheck.h"

namespace q31::tool::collect {

class MeterJob {
public:
    using Clock = std::chrono::steady_clock;
    enum class State { Idle, Running, Done, Failed };

    MeterJob(const MeterSpec& spec, PluginApi& api, CollectStore& store, const CollectOutput& out, bool trace);
    ~MeterJob();
    MeterJob(const MeterJob&) = delete;
    MeterJob& operator=(const MeterJob&) = delete;

    // Opens the meter's session on its line. False when the plug-in refuses
    // the options.
    bool Attach(PortHandle port);

    // Starts a pass. `archive`: the archive and the logs too, not only the
    // snapshots that are due.
    void Begin(std::int64_t run, bool archive);
    // Stores what a finished request brought and starts the next one.
    State Poll();
    // Abandons the request on the line; what was stored stays.
    void Cancel();

    const MeterSpec& Spec() const { return spec_; }
    State Current() const { return state_; }
    // Why the last pass failed, and the exit status that kind of failure has.
    const std::string& Failure() const { return failure_; }
    ExitStatus FailureStatus() const { return failureStatus_; }
    // What this job stored since it was made.
    const RunTotals& Stored() const { return stored_; }

private:
    // A request: `start` returns the plug-in's status, or kSkip when there
    // is nothing to ask; `finish` runs once its data is there.
    static constexpr int kSkip = -1;
    struct Step {
        std::string what;
        std::function<int()> start;
        std::function<void()> finish;
        int ring = -1;  // a series read: 0 the hourly ring, 1 the daily one
    };
    // A series read whose values wait for a counter read after them, which
    // the next read of the same ring brings along: the plug-in reads the
    // counters when it begins a request.
    struct PendingSeries {
        int series = 0;
        int storeModule = 0;
        int attempt = 0;
        std::uint32_t from = 0;
        std::uint32_t before = 0;
        std::uint32_t wanted = 0;  // the first record not stored yet, from or before it
        std::vector<std::int64_t> values;
    };

    void Fail(ExitStatus status, const std::string& why);
    void PlanSeries(int series, int module, int attempt);
    void PlanLog(const std::string& log, int module);
    // Stores (or reads again) the pending series with `after` as the
    // counter of their ring read after them.
    void SettlePending(std::uint32_t after);
    // A step that reads the counters and settles the pending series.
    Step SettleStep();
    void EmitSeries(int series, int storeModule, std::uint32_t first, std::size_t count, int added,
                    const std::optional<RecordGap>& gap);
    std::vector<std::int64_t> Values() const;
    // A serial number other than the one last seen under this name is a
    // new meter; noted before the meter row takes the new one.
    void NoteIdentity();
    // Counters below the ones last seen: the meter was reset.
    void NoteCounters();

    static void Q31_CALL OnIdent(const q31_result* r, const SDevIdent* ident, void* user);
    static void Q31_CALL OnCount(const q31_result* r, std::uint32_t count, void* user);
    static void Q31_CALL OnCurrent(const q31_result* r, const SCurrentData* data, void* user);
    static void Q31_CALL OnTotals(const q31_result* r, const SAccumulatedData* data, void* user);
    static void Q31_CALL OnCounters(const q31_result* r, const SArhiveCount* counters, void* user);
    static void Q31_CALL OnSeries(const q31_result* r, const void* values, std::uint32_t count, std::uint32_t size,
                                  void* user);
    static void Q31_CALL OnWords(const q31_result* r, const std::uint16_t* words, std::uint32_t count, void* user);
    static void Q31_CALL OnRecords(const q31_result* r, const std::uint8_t* records, std::uint32_t count,
                                   std::uint32_t size, void* user);
    void Done(const q31_result* r, const void* data, std::size_t bytes, std::uint32_t count, std::uint32_t size);

    MeterSpec spec_;
    PluginApi& api_;
    CollectStore& store_;
    const CollectOutput& out_;
    LineTrace trace_;
    q31_session* session_ = nullptr;

    State state_ = State::Idle;
    std::deque<Step> steps_;
    bool inFlight_ = false;
    Clock::time_point lastLineChange_{};
    bool onLine_ = false;  // the request in flight has had the line (an event came)
    std::int64_t lastEventUs_ = 0;
    LineCounts countsAtStart_;  // of the request on the line
    std::string failure_;
    ExitStatus failureStatus_ = kExitOk;
    RunTotals stored_;

    std::int64_t run_ = 0;
    SDevIdent ident_{};
    std::uint32_t modules_ = 0;
    SArhiveCount counters_{};
    MeterKey key_;
    std::vector<PendingSeries> pending_;  // all of one ring
    int pendingRing_ = -1;

    // The finished request.
    bool done_ = false;
    q31_result result_{};
    std::vector<std::uint8_t> data_;
    std::uint32_t count_ = 0;
    std::uint32_t size_ = 0;
};

}  // namespace q31::tool::collect
