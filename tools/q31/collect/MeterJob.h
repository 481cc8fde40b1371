// One pass over one meter, as a chain of requests on its own session: the
// identity, the module count, the snapshots that are due, the archive
// counters, every planned series from just after the newest stored record,
// and the logs whose heads moved. Nothing here blocks: the collector pumps
// the plug-in's messages and calls Poll, which hands a finished request's
// data to the BatchWriter (one transaction per batch) and starts the next
// request. Every pass ends as one attempt on record.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "publicQ31.h"
#include "tools/q31/collect/BatchWriter.h"
#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/CollectOutput.h"
#include "tools/q31/collect/CollectStore.h"
#include "tools/q31/collect/MeterFacts.h"
#include "tools/q31/collect/PassRecord.h"
#include "tools/q31/collect/RequestWatch.h"
#include "tools/q31/collect/SeriesCheck.h"
#include "tools/q31/collect/StepQueue.h"
#include "tools/q31/common/ExitStatus.h"
#include "tools/q31/common/LineTrace.h"
#include "tools/q31/common/PendingCall.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool::collect {

// A snapshot may be taken this many seconds before its period is over: a
// pass started by cron at the same period as the snapshots, a little earlier
// than the last one, still takes it.
constexpr std::int64_t kScheduleToleranceS = 10;

// Whether a snapshot taken every `everyMin` minutes is due in a pass that
// starts at `passStart`, the last one's pass having started at `lastStart`
// (Unix seconds). Never when `everyMin` is 0.
bool SnapshotDue(std::optional<std::int64_t> lastStart, std::int64_t passStart, int everyMin);

class MeterJob {
public:
    using Clock = std::chrono::steady_clock;
    // Unix seconds; a test's own clock in place of the system's.
    using WallClock = std::function<std::int64_t()>;
    enum class State { Idle, Running, Done, Failed };

    MeterJob(const MeterSettings& settings, PluginApi& api, CollectStore& store, const CollectOutput& out, bool trace);
    ~MeterJob();
    MeterJob(const MeterJob&) = delete;
    MeterJob& operator=(const MeterJob&) = delete;

    void SetWallClock(WallClock clock) { wallClock_ = std::move(clock); }

    // Opens the meter's session on its line. False when the plug-in refuses
    // the options.
    bool Attach(PortHandle port);
    // Closes the session (before its line is closed).
    void Detach();
    // How long the line must stay quiet after this pass before another
    // meter's session may use it: a packet of the pass that timed out may
    // still be answered, and a closed session no longer keeps the line
    // quiet for it. 0 when every packet was answered in time.
    int LateAnswerWaitMs() const;

    // Starts a pass. `archive`: the archive and the logs too, not only the
    // snapshots that are due.
    void Begin(std::int64_t run, bool archive);
    // Stores what a finished request brought and starts the next one.
    State Poll();
    // Abandons the request on the line; what was stored stays.
    void Cancel();
    // An attempt that could not begin: the line could not be had. Fails with
    // `status` and puts the attempt on record with `outcome`.
    void Unreachable(std::int64_t run, ExitStatus status, const std::string& outcome, const std::string& why);

    const MeterSettings& Settings() const { return settings_; }
    State Current() const { return state_; }
    // Why the last pass failed, and the exit status that kind of failure has.
    const std::string& Failure() const { return pass_.failure; }
    ExitStatus FailureStatus() const { return pass_.failureStatus; }
    // What this job stored since it was made.
    const RunTotals& Stored() const { return writer_.Stored(); }

private:
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
    // Puts the pass that just ended on record.
    void EndAttempt();
    // The steps once the module count is known: snapshots due, counters,
    // series, logs.
    void PlanPass(bool archive);
    std::vector<int> ModulesToRead();
    Step SnapshotStep(const std::string& kind);
    Step SeriesStep(int series, int module, int attempt);
    Step LogStep(const std::string& log, int module);
    // Stores (or reads again) the pending series with `after` as the
    // counter of their ring read after them.
    void SettlePending(std::uint32_t after);
    // A step that reads the counters and settles the pending series.
    Step SettleStep();
    // A serial number other than the one last seen under this name is a
    // new meter; noted before the meter row takes the new one.
    void NoteIdentity();
    // Counters below the ones last seen: the meter was reset.
    void NoteCounters();
    // Checks how the request on the line ended; false (and failed) unless ok.
    bool RequestSucceeded(const Step& step);
    // Starts the next request that asks something; finishes the steps that only store.
    void StartNext();

    MeterSettings settings_;
    PluginApi& api_;
    CollectStore& store_;
    const CollectOutput& out_;
    BatchWriter writer_;
    LineTrace trace_;
    q31_session* session_ = nullptr;
    WallClock wallClock_;

    State state_ = State::Idle;
    StepQueue steps_;
    PassRecord pass_;
    RequestWatch watch_;
    int quietBoundMs_ = 0;  // the plug-in's longest silence of the line, for its options
    MeterFacts meter_;
    std::vector<PendingSeries> pending_;  // all of one ring
    int pendingRing_ = -1;

    PendingCall call_;  // the request on the line
};

}  // namespace q31::tool::collect
