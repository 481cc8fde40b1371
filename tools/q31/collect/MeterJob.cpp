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
// A full ring whose numbering cannot be pinned down (the meter wrote while
// it was read) is read again this often before the pass gives up.
constexpr int kSeriesAttempts = 3;
// The last try asks from this many records past the oldest one, so that
// fewer than a whole ring comes and its numbering is known: a meter that
// writes during every read is collected all the same, less the few records
// next in line to be overwritten, which go to the gaps.
constexpr std::uint32_t kRetrySkip = 8;

const char* LogName(bool edit) { return edit ? "edit" : "error"; }
int RingOf(int series) { return SeriesIsDaily(series) ? 1 : 0; }
std::uint32_t& CounterOf(SArhiveCount& c, int ring) { return ring == 1 ? c.DayCount : c.HourCount; }

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
    : spec_(settings), api_(api), store_(store), out_(out), writer_(store, out, settings.name), wallClock_([] {
          return static_cast<std::int64_t>(std::time(nullptr));
      }) {
    if (trace) {
        trace_.PrintTo(stderr);
        trace_.SetLabel(spec_.name);
    }
}

MeterJob::~MeterJob() { Detach(); }

bool MeterJob::Attach(PortHandle port) {
    Detach();
    q31_options o{};
    api_.options_init(&o);
    o.echo = spec_.echo ? 1 : 0;
    o.slave_address = spec_.address;
    o.timeout_ms = spec_.timeoutMs;
    o.send_limit = spec_.sendLimit;
    o.confirm = spec_.confirm;
    session_ = api_.session_open(static_cast<Q31PortHandle>(port), &o);
    if (!session_) return false;
    quietBoundMs_ = api_.quiet_bound_ms(&o);
    api_.session_set_trace(session_, &LineTrace::Handler, &trace_);
    return true;
}

void MeterJob::Detach() {
    if (!session_) return;
    if (inFlight_) api_.cancel(session_);
    inFlight_ = false;
    api_.session_close(session_);
    session_ = nullptr;
}

void MeterJob::Fail(ExitStatus status, const std::string& why) {
    state_ = State::Failed;
    failureStatus_ = status;
    failure_ = spec_.name + " (" + spec_.port + ", address " + std::to_string(spec_.address) + "): " + why;
    steps_.Clear();
    pending_.clear();
    if (inFlight_) api_.cancel(session_);
    inFlight_ = false;
    EndAttempt();
}

void MeterJob::EndAttempt() {
    const LineCounts spent = trace_.Counts() - countsAtPass_;
    Attempt a;
    a.meter = spec_.name;
    a.serialExpected = spec_.serial;
    a.serialFound = serialFound_;
    a.startedAt = passStart_;
    a.endedAt = wallClock_();
    a.outcome = OutcomeOf(failureStatus_);
    a.message = failure_;
    a.packets = spent.writes;
    a.resends = spent.resends;
    a.rejectedChecksum = spent.checksumFailures;
    a.rejectedOther = spent.otherRejections;
    a.timeouts = spent.timeouts;
    a.run = run_;
    writer_.Attempt(a);
}

void MeterJob::Cancel() {
    if (inFlight_) api_.cancel(session_);
    inFlight_ = false;
    steps_.Clear();
    pending_.clear();
    state_ = State::Idle;
}

void MeterJob::Unreachable(std::int64_t run, ExitStatus status, const std::string& outcome, const std::string& why) {
    run_ = run;
    passStart_ = wallClock_();
    store_.EnsureMeter(spec_, passStart_);
    state_ = State::Failed;
    failureStatus_ = status;
    failure_ = spec_.name + " (" + spec_.port + "): " + why;
    Attempt a;
    a.meter = spec_.name;
    a.serialExpected = spec_.serial;
    a.startedAt = a.endedAt = passStart_;
    a.outcome = outcome;
    a.message = failure_;
    a.run = run_;
    writer_.Attempt(a);
}

void MeterJob::Begin(std::int64_t run, bool archive) {
    run_ = run;
    steps_.Clear();
    pending_.clear();
    failure_.clear();
    failureStatus_ = kExitOk;
    state_ = State::Running;
    inFlight_ = false;
    passStart_ = wallClock_();
    countsAtPass_ = trace_.Counts();
    serialFound_.reset();
    passCounters_ = {};
    store_.EnsureMeter(spec_, passStart_);

    // Who answers: the identity also carries the version word that selects
    // the archive layout, which later requests must name.
    steps_.Later({"identification", [this] { return api_.get_id(session_, &PendingCall::OnIdent, &call_); },
                  [this] {
                      const auto found = call_.As<SDevIdent>();
                      serialFound_ = found.SerialNumber;
                      if (found.SerialNumber != spec_.serial) {
                          Fail(kExitOtherMeter, "another meter answered: expected serial number " +
                                                    std::to_string(spec_.serial) + ", found " +
                                                    std::to_string(found.SerialNumber));
                          return;
                      }
                      ident_ = found;
                  }});
    steps_.Later({"module count",
                  [this] { return api_.get_module_count(session_, &ident_, &PendingCall::OnCount, &call_); },
                  [this, archive] {
                      modules_ = std::min<std::uint32_t>(call_.Count() & 0xFF, 6);
                      NoteIdentity();
                      PlanPass(archive);
                  }});
}

void MeterJob::PlanPass(bool archive) {
    std::vector<Step> next;
    for (const char* kind : {"current", "totals"})
        if (SnapshotDue(store_.LastSnapshotStart(spec_.name, kind), passStart_, spec_.currentEveryMin))
            next.push_back(SnapshotStep(kind));
    if (archive)
        next.push_back({"archive counters",
                        [this] { return api_.get_archive_count(session_, &ident_, &PendingCall::OnCounters, &call_); },
                        [this] {
                            counters_ = call_.As<SArhiveCount>();
                            NoteCounters();
                        }});
    steps_.Next(std::move(next));
    if (!archive) return;
    // The series are planned now and asked for once the counters are in.
    const std::vector<int> modules = ModulesToRead();
    for (int series : spec_.series) {
        if (series % 6 == 0) {
            // The record's time is one value for all modules: kept under module 0.
            if (!modules.empty()) steps_.Later(SeriesStep(series, 0, 0));
            continue;
        }
        for (int m : modules) steps_.Later(SeriesStep(series, m, 0));
    }
    if (spec_.logs) {
        steps_.Later(LogStep("error", 0));
        for (std::uint32_t m = 1; m <= modules_; ++m) steps_.Later(LogStep("error", static_cast<int>(m)));
        for (std::uint32_t m = 1; m <= modules_; ++m) steps_.Later(LogStep("edit", static_cast<int>(m)));
    }
}

std::vector<int> MeterJob::ModulesToRead() {
    std::vector<int> modules = spec_.modules;
    if (modules.empty())
        for (std::uint32_t m = 1; m <= modules_; ++m) modules.push_back(static_cast<int>(m));
    // Kept in front, in their order; those the meter lacks behind them.
    const auto beyond =
        std::stable_partition(modules.begin(), modules.end(), [&](int m) { return m <= static_cast<int>(modules_); });
    if (beyond != modules.end()) {
        std::string skipped;
        for (auto it = beyond; it != modules.end(); ++it)
            skipped += (skipped.empty() ? "" : ", ") + std::to_string(*it);
        out_.Warn(spec_.name + ": the meter counts " + std::to_string(modules_) + " module" +
                  (modules_ == 1 ? "" : "s") + "; module" + (modules.end() - beyond == 1 ? " " : "s ") + skipped +
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
        if (current) return api_.get_current_data(session_, &ident_, &PendingCall::OnCurrent, &call_);
        return api_.get_accumulated_data(session_, &ident_, &PendingCall::OnTotals, &call_);
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
        writer_.Snapshot(ident_.SerialNumber, kind, wallClock_(), passStart_, run_, data);
    };
    return step;
}

void MeterJob::NoteIdentity() {
    key_ = {spec_.name, ident_.SerialNumber, 0};
    const auto known = store_.KnownSerial(spec_.name);
    if (known && *known != ident_.SerialNumber) {
        // Another meter under the old name: its records go apart from the
        // old meter's, from its oldest one.
        store_.NoteEvent(
            spec_.name, ident_.SerialNumber, "replaced",
            "serial number " + std::to_string(*known) + " replaced by " + std::to_string(ident_.SerialNumber), run_);
        out_.Warn(spec_.name + ": serial number " + std::to_string(ident_.SerialNumber) + " answers where " +
                  std::to_string(*known) + " did: a new meter, read from its oldest record");
    }
    store_.NoteMeter(spec_, ident_, modules_);
    key_.epoch = store_.Unit(spec_.name, ident_.SerialNumber).epoch;
}

void MeterJob::NoteCounters() {
    const MeterUnit unit = store_.Unit(key_.name, key_.serial);
    key_.epoch = unit.epoch;
    const bool hoursBack = unit.hourCount && counters_.HourCount < *unit.hourCount;
    const bool daysBack = unit.dayCount && counters_.DayCount < *unit.dayCount;
    if (hoursBack || daysBack) {
        // The same meter begun afresh: the record numbers name other records
        // now, so they go under a new epoch, read from the oldest one.
        const std::string was = "hours " + std::to_string(unit.hourCount.value_or(0)) + ", days " +
                                std::to_string(unit.dayCount.value_or(0));
        const std::string now =
            "hours " + std::to_string(counters_.HourCount) + ", days " + std::to_string(counters_.DayCount);
        key_.epoch =
            store_.NoteEvent(key_.name, key_.serial, "reset", "counters went back from " + was + " to " + now, run_);
        out_.Warn(spec_.name + ": the counters went back from " + was + " to " + now +
                  " (the meter was reset); epoch " + std::to_string(key_.epoch) + ", read from its oldest record");
    }
    store_.NoteCounters(key_.name, key_.serial, counters_.HourCount, counters_.DayCount);
    passCounters_ = counters_;
}

Step MeterJob::SeriesStep(int series, int storeModule, int attempt) {
    struct Read {
        std::uint32_t from = 0;
        std::uint32_t before = 0;
        std::uint32_t wanted = 0;
    };
    auto read = std::make_shared<Read>();
    const std::string name = SeriesName(series);
    const std::uint32_t slots = SeriesSlots(series);
    const int ring = RingOf(series);
    const std::uint32_t requestModule = storeModule == 0 ? 1 : static_cast<std::uint32_t>(storeModule);
    Step step;
    step.what = "archive series " + name;
    step.ring = ring;
    step.start = [=, this] {
        // Where to go on is read from the data itself, never from a marker
        // that a killed run could have left behind or ahead of it.
        const std::uint32_t counter = CounterOf(counters_, ring);
        const std::uint32_t oldest = counter > slots ? counter - slots : 0;
        const auto last = store_.LastRecord(key_, storeModule, name);
        read->from = read->wanted = last ? *last + 1 : oldest;
        read->before = counter;
        if (attempt + 1 == kSeriesAttempts && counter >= slots && read->from < oldest + kRetrySkip)
            read->from = oldest + kRetrySkip;
        if (last && *last >= counter) {
            // The pass began with counters beyond this; they went back since.
            out_.Warn(spec_.name + ": " + name + " module " + std::to_string(storeModule) + ": the meter counts " +
                      std::to_string(counter) + " records, record " + std::to_string(*last) +
                      " is stored already (reset during the read?); nothing read");
            return Step::kSkip;
        }
        if (read->from >= counter) return Step::kSkip;
        return api_.get_archive_series(session_, &ident_, static_cast<q31_series>(series), requestModule, read->from,
                                       &PendingCall::OnSeries, &call_);
    };
    step.finish = [=, this] {
        std::vector<std::int64_t> values = call_.Values();
        if (values.size() > slots) {
            Fail(kExitFailure,
                 name + ": the meter delivered " + std::to_string(values.size()) + " values, more than its ring holds");
            return;
        }
        if (values.size() < slots) {
            // Fewer than a whole ring: the plug-in's counter stood at
            // from + count when it began, after the pending reads were in.
            const auto counter = static_cast<std::uint32_t>(read->from + values.size());
            if (!pending_.empty()) SettlePending(counter);
            if (state_ != State::Running) return;
            CounterOf(counters_, ring) = std::max(CounterOf(counters_, ring), counter);
        }
        if (values.empty()) return;
        pending_.push_back({series, storeModule, attempt, read->from, read->before, read->wanted, std::move(values)});
        pendingRing_ = ring;
        // A whole ring tells no counter: it could have begun at `from` or,
        // had the meter written meanwhile, later. Read the counters now.
        if (pending_.back().values.size() == slots) steps_.Next(SettleStep());
    };
    return step;
}

Step MeterJob::SettleStep() {
    Step step;
    step.what = "archive counters";
    // Counted as a read of the pending ring, so that no second one is put before it.
    step.ring = pendingRing_;
    step.start = [this] { return api_.get_archive_count(session_, &ident_, &PendingCall::OnCounters, &call_); };
    step.finish = [this, ring = pendingRing_] {
        const auto now = call_.As<SArhiveCount>();
        if (now.HourCount < passCounters_.HourCount || now.DayCount < passCounters_.DayCount) {
            // Reset during the pass: the record numbers name the new run's
            // records now, which must not go under the old epoch. The next
            // pass finds the reset at its start and reads them into a new one.
            Fail(kExitFailure, "the meter's counters went back during the read (hours " +
                                   std::to_string(passCounters_.HourCount) + " to " + std::to_string(now.HourCount) +
                                   ", days " + std::to_string(passCounters_.DayCount) + " to " +
                                   std::to_string(now.DayCount) + "): a reset, read into a new epoch next pass");
            return;
        }
        counters_ = now;
        SettlePending(CounterOf(counters_, ring));
    };
    return step;
}

void MeterJob::SettlePending(std::uint32_t after) {
    std::vector<PendingSeries> pending;
    pending.swap(pending_);
    std::vector<Step> again;
    for (PendingSeries& p : pending) {
        const std::string name = SeriesName(p.series);
        const SeriesVerdict v = JudgeSeriesRead(p.from, p.before, after, p.values.size(), SeriesSlots(p.series));
        if (v.kind == SeriesVerdict::Kind::Store) {
            const std::vector<std::int64_t> kept(p.values.begin() + static_cast<std::ptrdiff_t>(v.skip),
                                                 p.values.begin() + static_cast<std::ptrdiff_t>(v.skip + v.keep));
            const std::uint32_t first = v.first + static_cast<std::uint32_t>(v.skip);
            std::optional<RecordGap> gap = v.gap;
            if (p.wanted < p.from) gap = RecordGap{p.wanted, gap ? gap->last : first - 1};
            writer_.Series(key_, name, p.storeModule, first, kept, gap, run_);
            continue;
        }
        if (p.attempt + 1 >= kSeriesAttempts) {
            Fail(kExitFailure, name + ": the meter kept writing while its ring was read");
            return;
        }
        // Read again from the new counters, next.
        again.push_back(SeriesStep(p.series, p.storeModule, p.attempt + 1));
    }
    steps_.Next(std::move(again));
}

Step MeterJob::LogStep(const std::string& log, int module) {
    const bool edit = log == "edit";
    Step step;
    step.what = std::string(LogName(edit)) + "-log head";
    step.start = [=, this] {
        const auto m = static_cast<std::uint32_t>(module);
        if (edit) return api_.get_edit_head_module(session_, &ident_, m, &PendingCall::OnWords, &call_);
        if (module == 0) return api_.get_error_head_device(session_, &ident_, &PendingCall::OnWords, &call_);
        return api_.get_error_head_module(session_, &ident_, m, &PendingCall::OnWords, &call_);
    };
    step.finish = [=, this] {
        const std::vector<std::uint16_t> head = call_.Words();
        const auto stored = store_.LogHead(key_, log, module);
        if (stored && *stored == head) return;
        // The head moved (or was never read): read the log's blocks, then
        // store the head last, so a run killed before that reads them again.
        std::vector<int> blocks;
        if (edit) blocks = {1};
        else if (module == 0) blocks = {1, 2, 3, 4, 5, 6, 7, 8};
        else if (module <= 6) blocks = {1, 2, 3, 4, 5};
        writer_.LogBegin();
        std::vector<Step> next;
        for (int block : blocks) {
            Step b;
            b.what = std::string(LogName(edit)) + "-log block";
            b.start = [=, this] {
                const auto m = static_cast<std::uint32_t>(module);
                const auto k = static_cast<std::uint32_t>(block);
                if (edit) return api_.get_edit_block_module(session_, &ident_, m, &PendingCall::OnRecords, &call_);
                if (module == 0)
                    return api_.get_error_block_device(session_, &ident_, k, &PendingCall::OnRecords, &call_);
                return api_.get_error_block_module(session_, &ident_, m, k, &PendingCall::OnRecords, &call_);
            };
            b.finish = [=, this] { writer_.LogBlock(key_, log, module, block, call_.Size(), call_.Bytes(), run_); };
            next.push_back(std::move(b));
        }
        next.push_back({"log head", nullptr, [=, this] { writer_.LogHead(key_, log, module, head, run_); }});
        steps_.Next(std::move(next));
    };
    return step;
}

bool MeterJob::RequestSucceeded(const Step& step) {
    const q31_result& r = call_.Result();
    switch (r.status) {
        case Q31_OK: return true;
        case Q31_OTHER_METER:
            serialFound_ = r.found_serial;
            Fail(kExitOtherMeter, "another meter answered the " + step.what + ": expected serial number " +
                                      std::to_string(r.expected_serial) + ", found " + std::to_string(r.found_serial));
            return false;
        case Q31_NO_ANSWER:
        case Q31_PORT_ERROR: {
            const LineCounts spent = trace_.Counts() - countsAtStart_;
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
    if (inFlight_) {
        if (!call_.Done()) {
            if (trace_.LastEventUs() != lastEventUs_) {
                lastEventUs_ = trace_.LastEventUs();
                lastLineChange_ = Clock::now();
                onLine_ = true;
            } else if (onLine_ &&
                       Clock::now() - lastLineChange_ > std::chrono::milliseconds(quietBoundMs_ + kQuietSlackMs)) {
                Fail(kExitNoAnswer, "no answer to the " + steps_.Front().what + " (the line fell silent)");
            }
            return state_;
        }
        inFlight_ = false;
        Step step = steps_.Pop();
        if (!RequestSucceeded(step)) return state_;
        step.finish();
        if (state_ != State::Running) return state_;
    }
    StartNext();
    return state_;
}

void MeterJob::StartNext() {
    while (state_ == State::Running && !inFlight_) {
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
        countsAtStart_ = trace_.Counts();
        const int status = next.start();
        if (status == Step::kSkip) {
            steps_.Pop();
            continue;
        }
        if (status != Q31_OK) {
            Fail(kExitFailure, next.what + ": the plug-in refused the request: " + api_.strerror(status));
            break;
        }
        inFlight_ = true;
        // Until its first event the request may be waiting its turn behind
        // other meters on the line, each of which is bounded by its own
        // silence; only a request on the line can fall silent.
        onLine_ = false;
        countsAtStart_ = trace_.Counts();
        lastEventUs_ = trace_.LastEventUs();
        lastLineChange_ = Clock::now();
    }
}

}  // namespace q31::tool::collect
