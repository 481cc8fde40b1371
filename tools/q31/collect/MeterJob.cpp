#include "tools/q31/collect/MeterJob.h"

#include <algorithm>
#include <ctime>
#include <memory>

#include "support/HostPort.h"
#include "tools/q31/common/ArchiveSeries.h"

namespace q31::tool::collect {

namespace {
// The session ends every request by itself once its send limit is spent; a
// line with no event at all for this long means nothing will come.
constexpr int kQuietSlackMs = 5000;

const char* OutcomeOf(ExitStatus status) {
    switch (status) {
        case kExitOk: return "ok";
        case kExitNoAnswer: return "no answer";
        case kExitOtherMeter: return "other meter";
        case kExitPortOpen:
        case kExitPortFailed: return "port error";
        default: return "error";
    }
}

// A snapshot's groups (and, for the totals, its values) as JSON.
template <typename Record>
nlohmann::ordered_json Groups(const Record& r) {
    nlohmann::ordered_json groups = nlohmann::ordered_json::array();
    for (const auto& g : r.Groups) groups.push_back(g);
    return groups;
}
}  // namespace

bool SnapshotDue(std::optional<std::int64_t> lastStart, std::int64_t passStart, int everyMin) {
    if (everyMin <= 0) return false;
    return !lastStart || passStart - *lastStart >= 60LL * everyMin - kScheduleToleranceS;
}

MeterJob::MeterJob(const MeterSettings& settings, PluginApi& api, CollectStore& store, const CollectOutput& out,
                   bool trace)
    : settings_(settings), api_(api), store_(store), out_(out), writer_(store, out, settings.name), wallClock_([] {
          return static_cast<std::int64_t>(std::time(nullptr));
      }) {
    if (trace) {
        trace_.PrintTo(stderr);
        trace_.SetLabel(settings_.name);
    }
}

MeterJob::~MeterJob() { Detach(); }

bool MeterJob::Attach(PortHandle port) {
    Detach();
    q31_options o{};
    api_.options_init(&o);
    o.echo = settings_.echo ? 1 : 0;
    o.slave_address = settings_.address;
    o.timeout_ms = settings_.timeoutMs;
    o.send_limit = settings_.sendLimit;
    o.confirm = settings_.confirm;
    session_ = api_.session_open(static_cast<Q31PortHandle>(port), &o);
    if (!session_) return false;
    quietBoundMs_ = api_.quiet_bound_ms(&o);
    api_.session_set_trace(session_, &LineTrace::Handler, &trace_);
    return true;
}

void MeterJob::Detach() {
    if (!session_) return;
    if (watch_.inFlight) api_.cancel(session_);
    watch_.inFlight = false;
    api_.session_close(session_);
    session_ = nullptr;
}

int MeterJob::LateAnswerWaitMs() const { return (trace_.Counts() - pass_.lineCounts).timeouts > 0 ? quietBoundMs_ : 0; }

void MeterJob::Fail(ExitStatus status, const std::string& why) {
    state_ = State::Failed;
    pass_.failureStatus = status;
    pass_.failure =
        settings_.name + " (" + settings_.port + ", address " + std::to_string(settings_.address) + "): " + why;
    steps_.Clear();
    pending_.clear();
    if (watch_.inFlight) api_.cancel(session_);
    watch_.inFlight = false;
    EndAttempt();
}

void MeterJob::EndAttempt() {
    const LineCounts spent = trace_.Counts() - pass_.lineCounts;
    Attempt a;
    a.meter = settings_.name;
    a.serialExpected = settings_.serial;
    a.serialFound = pass_.serialFound;
    a.startedAt = pass_.start;
    a.endedAt = wallClock_();
    a.outcome = OutcomeOf(pass_.failureStatus);
    a.message = pass_.failure;
    a.packets = spent.writes;
    a.resends = spent.resends;
    a.rejectedChecksum = spent.checksumFailures;
    a.rejectedOther = spent.otherRejections;
    a.timeouts = spent.timeouts;
    a.run = pass_.run;
    writer_.Attempt(a);
}

void MeterJob::Cancel() {
    if (watch_.inFlight) api_.cancel(session_);
    watch_.inFlight = false;
    steps_.Clear();
    pending_.clear();
    state_ = State::Idle;
}

void MeterJob::Unreachable(std::int64_t run, ExitStatus status, const std::string& outcome, const std::string& why) {
    pass_.run = run;
    pass_.start = wallClock_();
    store_.EnsureMeter(settings_, pass_.start);
    state_ = State::Failed;
    pass_.failureStatus = status;
    pass_.failure = settings_.name + " (" + settings_.port + "): " + why;
    Attempt a;
    a.meter = settings_.name;
    a.serialExpected = settings_.serial;
    a.startedAt = a.endedAt = pass_.start;
    a.outcome = outcome;
    a.message = pass_.failure;
    a.run = pass_.run;
    writer_.Attempt(a);
}

void MeterJob::Begin(std::int64_t run, bool archive) {
    pass_.run = run;
    steps_.Clear();
    pending_.clear();
    pass_.failure.clear();
    pass_.failureStatus = kExitOk;
    state_ = State::Running;
    watch_.inFlight = false;
    pass_.start = wallClock_();
    pass_.lineCounts = trace_.Counts();
    pass_.serialFound.reset();
    meter_.passCounters = {};
    store_.EnsureMeter(settings_, pass_.start);

    // Who answers: the identity also carries the version word that selects
    // the archive layout, which later requests must name.
    steps_.Later({"identification", [this] { return api_.get_id(session_, &PendingCall::OnIdent, &call_); },
                  [this] {
                      const auto found = call_.As<SDevIdent>();
                      pass_.serialFound = found.SerialNumber;
                      if (found.SerialNumber != settings_.serial) {
                          Fail(kExitOtherMeter, "another meter answered: expected serial number " +
                                                    std::to_string(settings_.serial) + ", found " +
                                                    std::to_string(found.SerialNumber));
                          return;
                      }
                      meter_.ident = found;
                  }});
    steps_.Later({"module count",
                  [this] { return api_.get_module_count(session_, &meter_.ident, &PendingCall::OnCount, &call_); },
                  [this, archive] {
                      meter_.modules = std::min<std::uint32_t>(call_.Count() & 0xFF, 6);
                      NoteIdentity();
                      PlanPass(archive);
                  }});
}

void MeterJob::PlanPass(bool archive) {
    std::vector<Step> next;
    for (const char* kind : {"current", "totals"})
        if (SnapshotDue(store_.LastSnapshotStart(settings_.name, kind), pass_.start, settings_.currentEveryMin))
            next.push_back(SnapshotStep(kind));
    if (archive)
        next.push_back(
            {"archive counters",
             [this] { return api_.get_archive_count(session_, &meter_.ident, &PendingCall::OnCounters, &call_); },
             [this] {
                 meter_.counters = call_.As<SArhiveCount>();
                 NoteCounters();
             }});
    steps_.Next(std::move(next));
    if (!archive) return;
    // The series are planned now and asked for once the counters are in.
    const std::vector<int> modules = ModulesToRead();
    for (int series : settings_.series) {
        if (series % 6 == 0) {
            // The record's time is one value for all modules: kept under module 0.
            if (!modules.empty()) steps_.Later(SeriesStep(series, 0, 0));
            continue;
        }
        for (int m : modules) steps_.Later(SeriesStep(series, m, 0));
    }
    if (settings_.logs) {
        steps_.Later(LogStep("error", 0));
        for (std::uint32_t m = 1; m <= meter_.modules; ++m) steps_.Later(LogStep("error", static_cast<int>(m)));
        for (std::uint32_t m = 1; m <= meter_.modules; ++m) steps_.Later(LogStep("edit", static_cast<int>(m)));
    }
}

std::vector<int> MeterJob::ModulesToRead() {
    std::vector<int> modules = settings_.modules;
    if (modules.empty())
        for (std::uint32_t m = 1; m <= meter_.modules; ++m) modules.push_back(static_cast<int>(m));
    // Kept in front, in their order; those the meter lacks behind them.
    const auto beyond = std::stable_partition(modules.begin(), modules.end(),
                                              [&](int m) { return m <= static_cast<int>(meter_.modules); });
    if (beyond != modules.end()) {
        std::string skipped;
        for (auto it = beyond; it != modules.end(); ++it)
            skipped += (skipped.empty() ? "" : ", ") + std::to_string(*it);
        out_.Warn(settings_.name + ": the meter counts " + std::to_string(meter_.modules) + " module" +
                  (meter_.modules == 1 ? "" : "s") + "; module" + (modules.end() - beyond == 1 ? " " : "s ") + skipped +
                  " skipped");
    }
    modules.erase(beyond, modules.end());
    return modules;
}

Step MeterJob::SnapshotStep(const std::string& kind) {
    const bool current = kind == "current";
    Step step;
    step.what = current ? "current values" : "totals";
    step.start = [this, current] {
        if (current) return api_.get_current_data(session_, &meter_.ident, &PendingCall::OnCurrent, &call_);
        return api_.get_accumulated_data(session_, &meter_.ident, &PendingCall::OnTotals, &call_);
    };
    step.finish = [this, current, kind] {
        nlohmann::ordered_json data;
        if (current) {
            data = {{"groups", Groups(call_.As<SCurrentData>())}};
        } else {
            const auto totals = call_.As<SAccumulatedData>();
            data = {{"values", totals.Values}, {"groups", Groups(totals)}};
        }
        // Taken after the identity: the serial number that answered.
        writer_.Snapshot(meter_.ident.SerialNumber, kind, wallClock_(), pass_.start, pass_.run, data);
    };
    return step;
}

void MeterJob::NoteIdentity() {
    meter_.key = {settings_.name, meter_.ident.SerialNumber, 0};
    const auto known = store_.KnownSerial(settings_.name);
    if (known && *known != meter_.ident.SerialNumber) {
        // Another meter under the old name: its records go apart from the
        // old meter's, from its oldest one.
        store_.NoteEvent(
            settings_.name, meter_.ident.SerialNumber, "replaced",
            "serial number " + std::to_string(*known) + " replaced by " + std::to_string(meter_.ident.SerialNumber),
            pass_.run);
        out_.Warn(settings_.name + ": serial number " + std::to_string(meter_.ident.SerialNumber) + " answers where " +
                  std::to_string(*known) + " did: a new meter, read from its oldest record");
    }
    store_.NoteMeter(settings_, meter_.ident, meter_.modules);
    meter_.key.epoch = store_.Unit(settings_.name, meter_.ident.SerialNumber).epoch;
}

void MeterJob::NoteCounters() {
    const MeterUnit unit = store_.Unit(meter_.key.name, meter_.key.serial);
    meter_.key.epoch = unit.epoch;
    const bool hoursBack = unit.hourCount && meter_.counters.HourCount < *unit.hourCount;
    const bool daysBack = unit.dayCount && meter_.counters.DayCount < *unit.dayCount;
    if (hoursBack || daysBack) {
        // The same meter begun afresh: the record numbers name other records
        // now, so they go under a new epoch, read from the oldest one.
        const std::string was = "hours " + std::to_string(unit.hourCount.value_or(0)) + ", days " +
                                std::to_string(unit.dayCount.value_or(0));
        const std::string now =
            "hours " + std::to_string(meter_.counters.HourCount) + ", days " + std::to_string(meter_.counters.DayCount);
        meter_.key.epoch = store_.NoteEvent(meter_.key.name, meter_.key.serial, "reset",
                                            "counters went back from " + was + " to " + now, pass_.run);
        out_.Warn(settings_.name + ": the counters went back from " + was + " to " + now +
                  " (the meter was reset); epoch " + std::to_string(meter_.key.epoch) +
                  ", read from its oldest record");
    }
    store_.NoteCounters(meter_.key.name, meter_.key.serial, meter_.counters.HourCount, meter_.counters.DayCount);
    meter_.passCounters = meter_.counters;
}

bool MeterJob::RequestSucceeded(const Step& step) {
    const q31_result& r = call_.Result();
    switch (r.status) {
        case Q31_OK: return true;
        case Q31_OTHER_METER:
            pass_.serialFound = r.found_serial;
            Fail(kExitOtherMeter, "another meter answered the " + step.what + ": expected serial number " +
                                      std::to_string(r.expected_serial) + ", found " + std::to_string(r.found_serial));
            return false;
        case Q31_NO_ANSWER:
        case Q31_PORT_ERROR: {
            const LineCounts spent = trace_.Counts() - watch_.lineCounts;
            // A port that fails its reads (an adapter pulled out) leaves the
            // request without an answer; it is the port that failed.
            if (r.status == Q31_PORT_ERROR || spent.portErrors > 0) {
                Fail(kExitPortFailed, "the port failed during the " + step.what + ": " +
                                          (spent.lastOsError ? HostPortErrorText(spent.lastOsError) : "write error"));
                return false;
            }
            Fail(kExitNoAnswer, "no answer to the " + step.what + ": " + LineTrace::Describe(spent));
            return false;
        }
        default: Fail(kExitFailure, step.what + ": " + api_.strerror(r.status)); return false;
    }
}

MeterJob::State MeterJob::Poll() {
    if (state_ != State::Running) return state_;
    if (watch_.inFlight) {
        if (!call_.Done()) {
            if (trace_.LastEventUs() != watch_.lastEventUs) {
                watch_.lastEventUs = trace_.LastEventUs();
                watch_.lastLineChange = Clock::now();
                watch_.onLine = true;
            } else if (watch_.onLine && Clock::now() - watch_.lastLineChange >
                                            std::chrono::milliseconds(quietBoundMs_ + kQuietSlackMs)) {
                Fail(kExitNoAnswer, "no answer to the " + steps_.Front().what + " (the line fell silent)");
            }
            return state_;
        }
        watch_.inFlight = false;
        Step step = steps_.Pop();
        if (!RequestSucceeded(step)) return state_;
        step.finish();
        if (state_ != State::Running) return state_;
    }
    StartNext();
    return state_;
}

void MeterJob::StartNext() {
    while (state_ == State::Running && !watch_.inFlight) {
        // Pending series are settled before anything but a read of their ring.
        if (!pending_.empty() && (steps_.Empty() || steps_.Front().ring != pendingRing_)) steps_.Next(SettleStep());
        if (steps_.Empty()) {
            state_ = State::Done;
            EndAttempt();
            break;
        }
        Step& next = steps_.Front();
        if (!next.start) {
            steps_.Pop().finish();
            continue;
        }
        call_.Reset();
        watch_.lineCounts = trace_.Counts();
        const int status = next.start();
        if (status == Step::kSkip) {
            steps_.Pop();
            continue;
        }
        if (status != Q31_OK) {
            Fail(kExitFailure, next.what + ": the plug-in refused the request: " + api_.strerror(status));
            break;
        }
        watch_.inFlight = true;
        // Until its first event the request may be waiting its turn behind
        // other meters on the line, each of which is bounded by its own
        // silence; only a request on the line can fall silent.
        watch_.onLine = false;
        watch_.lineCounts = trace_.Counts();
        watch_.lastEventUs = trace_.LastEventUs();
        watch_.lastLineChange = Clock::now();
    }
}

}  // namespace q31::tool::collect
