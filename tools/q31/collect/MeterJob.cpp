#include "tools/q31/collect/MeterJob.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>

#include "support/HostPort.h"
#include "tools/q31/ArchiveSeries.h"

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
}  // namespace

MeterJob::MeterJob(const MeterSpec& spec, PluginApi& api, CollectStore& store, const CollectOutput& out, bool trace)
    : spec_(spec), api_(api), store_(store), out_(out) {
    if (trace) trace_.PrintTo(stderr);
}

MeterJob::~MeterJob() {
    if (session_) api_.session_close(session_);
}

bool MeterJob::Attach(PortHandle port) {
    q31_options o{};
    api_.options_init(&o);
    o.echo = spec_.echo ? 1 : 0;
    o.slave_address = spec_.address;
    o.timeout_ms = spec_.timeoutMs;
    o.send_limit = spec_.sendLimit;
    o.confirm = spec_.confirm;
    session_ = api_.session_open(static_cast<Q31PortHandle>(port), &o);
    if (!session_) return false;
    api_.session_set_trace(session_, &LineTrace::Handler, &trace_);
    return true;
}

void MeterJob::Fail(ExitStatus status, const std::string& why) {
    state_ = State::Failed;
    failureStatus_ = status;
    failure_ = spec_.name + " (" + spec_.port + ", address " + std::to_string(spec_.address) + "): " + why;
    steps_.clear();
    pending_.clear();
    if (inFlight_) api_.cancel(session_);
    inFlight_ = false;
}

void MeterJob::Cancel() {
    if (inFlight_) api_.cancel(session_);
    inFlight_ = false;
    steps_.clear();
    pending_.clear();
    state_ = State::Idle;
}

void MeterJob::Begin(std::int64_t run, bool archive) {
    run_ = run;
    steps_.clear();
    pending_.clear();
    failure_.clear();
    failureStatus_ = kExitOk;
    state_ = State::Running;
    inFlight_ = false;

    // Who answers: the identity also carries the version word that selects
    // the archive layout, which later requests must name.
    steps_.push_back({"identification", [this] { return api_.get_id(session_, &OnIdent, this); },
                      [this] {
                          SDevIdent found{};
                          std::memcpy(&found, data_.data(), std::min(data_.size(), sizeof found));
                          if (found.SerialNumber != spec_.serial) {
                              Fail(kExitOtherMeter, "another meter answered: expected serial number " +
                                                        std::to_string(spec_.serial) + ", found " +
                                                        std::to_string(found.SerialNumber));
                              return;
                          }
                          ident_ = found;
                      }});
    steps_.push_back(
        {"module count", [this] { return api_.get_module_count(session_, &ident_, &OnCount, this); },
         [this, archive] {
             modules_ = std::min<std::uint32_t>(count_ & 0xFF, 6);
             NoteIdentity();
             const std::int64_t now = std::time(nullptr);
             const auto due = [&](const char* kind) {
                 if (spec_.currentEveryMin <= 0) return false;
                 const auto last = store_.LastSnapshot(spec_.name, kind);
                 return !last || now - *last >= 60LL * spec_.currentEveryMin;
             };
             std::deque<Step> more;
             if (due("current"))
                 more.push_back(
                     {"current values", [this] { return api_.get_current_data(session_, &ident_, &OnCurrent, this); },
                      [this] {
                          SCurrentData d{};
                          std::memcpy(&d, data_.data(), std::min(data_.size(), sizeof d));
                          nlohmann::ordered_json groups = nlohmann::ordered_json::array();
                          for (const auto& g : d.Groups) groups.push_back(g);
                          const std::int64_t at = std::time(nullptr);
                          store_.StoreSnapshot(spec_.name, "current", at, run_, groups.dump());
                          ++stored_.snapshots;
                          out_.Batch(
                              {{"meter", spec_.name}, {"kind", "current"}, {"taken_at", at}, {"groups", groups}});
                      }});
             if (due("totals"))
                 more.push_back({"totals",
                                 [this] { return api_.get_accumulated_data(session_, &ident_, &OnTotals, this); },
                                 [this] {
                                     SAccumulatedData d{};
                                     std::memcpy(&d, data_.data(), std::min(data_.size(), sizeof d));
                                     nlohmann::ordered_json groups = nlohmann::ordered_json::array();
                                     for (const auto& g : d.Groups) groups.push_back(g);
                                     nlohmann::ordered_json data{{"values", d.Values}, {"groups", groups}};
                                     const std::int64_t at = std::time(nullptr);
                                     store_.StoreSnapshot(spec_.name, "totals", at, run_, data.dump());
                                     ++stored_.snapshots;
                                     out_.Batch({{"meter", spec_.name},
                                                 {"kind", "totals"},
                                                 {"taken_at", at},
                                                 {"values", data["values"]},
                                                 {"groups", groups}});
                                 }});
             if (archive) {
                 more.push_back({"archive counters",
                                 [this] { return api_.get_archive_count(session_, &ident_, &OnCounters, this); },
                                 [this] {
                                     std::memcpy(&counters_, data_.data(), std::min(data_.size(), sizeof counters_));
                                     NoteCounters();
                                 }});
             }
             // After the steps just planned; the series are planned once the counters are in.
             for (auto it = more.rbegin(); it != more.rend(); ++it) steps_.push_front(std::move(*it));
             if (!archive) return;
             std::vector<int> modules = spec_.modules;
             if (modules.empty())
                 for (std::uint32_t m = 1; m <= modules_; ++m) modules.push_back(static_cast<int>(m));
             // Kept in front, in their order; those the meter lacks behind them.
             const auto beyond = std::stable_partition(modules.begin(), modules.end(),
                                                       [&](int m) { return m <= static_cast<int>(modules_); });
             if (beyond != modules.end()) {
                 std::string skipped;
                 for (auto it = beyond; it != modules.end(); ++it)
                     skipped += (skipped.empty() ? "" : ", ") + std::to_string(*it);
                 out_.Note(spec_.name + ": the meter counts " + std::to_string(modules_) + " module" +
                           (modules_ == 1 ? "" : "s") + "; module" + (modules.end() - beyond == 1 ? " " : "s ") +
                           skipped + " skipped");
             }
             modules.erase(beyond, modules.end());
             // Appended, so they run after the counters.
             for (int series : spec_.series) {
                 if (series % 6 == 0) {
                     // The record's time is one value for all modules: kept under module 0.
                     if (!modules.empty()) PlanSeries(series, 0, 0);
                     continue;
                 }
                 for (int m : modules) PlanSeries(series, m, 0);
             }
             if (spec_.logs) {
                 PlanLog("error", 0);
                 for (std::uint32_t m = 1; m <= modules_; ++m) PlanLog("error", static_cast<int>(m));
                 for (std::uint32_t m = 1; m <= modules_; ++m) PlanLog("edit", static_cast<int>(m));
             }
         }});
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
        out_.Note(spec_.name + ": serial number " + std::to_string(ident_.SerialNumber) + " answers where " +
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
        out_.Note(spec_.name + ": the counters went back from " + was + " to " + now +
                  " (the meter was reset); epoch " + std::to_string(key_.epoch) + ", read from its oldest record");
    }
    store_.NoteCounters(key_.name, key_.serial, counters_.HourCount, counters_.DayCount);
}

std::vector<std::int64_t> MeterJob::Values() const {
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

void MeterJob::EmitSeries(int series, int storeModule, std::uint32_t first, std::size_t count, int added,
                          const std::optional<RecordGap>& gap) {
    stored_.records += added;
    nlohmann::ordered_json line{{"meter", spec_.name},
                                {"serial", key_.serial},
                                {"kind", "archive"},
                                {"series", SeriesName(series)},
                                {"module", storeModule},
                                {"first", first},
                                {"last", static_cast<std::int64_t>(first) + static_cast<std::int64_t>(count) - 1},
                                {"count", count},
                                {"stored", added}};
    if (gap) {
        ++stored_.gaps;
        line["gap"] = {{"first", gap->first}, {"last", gap->last}};
        out_.Note(spec_.name + ": " + SeriesName(series) + " module " + std::to_string(storeModule) + ": records " +
                  std::to_string(gap->first) + ".." + std::to_string(gap->last) +
                  " were overwritten in the meter before they were read");
    }
    out_.Batch(line);
}

namespace {
int RingOf(int series) { return SeriesIsDaily(series) ? 1 : 0; }
std::uint32_t& CounterOf(SArhiveCount& c, int ring) { return ring == 1 ? c.DayCount : c.HourCount; }
}  // namespace

void MeterJob::PlanSeries(int series, int storeModule, int attempt) {
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
            out_.Note(spec_.name + ": " + name + " module " + std::to_string(storeModule) + ": the meter counts " +
                      std::to_string(counter) + " records, record " + std::to_string(*last) +
                      " is stored already (reset during the read?); nothing read");
            return kSkip;
        }
        if (read->from >= counter) return kSkip;
        return api_.get_archive_series(session_, &ident_, static_cast<q31_series>(series), requestModule, read->from,
                                       &OnSeries, this);
    };
    step.finish = [=, this] {
        std::vector<std::int64_t> values = Values();
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
        if (pending_.back().values.size() == slots) steps_.push_front(SettleStep());
    };
    steps_.push_back(std::move(step));
}

MeterJob::Step MeterJob::SettleStep() {
    Step step;
    step.what = "archive counters";
    // Counted as a read of the pending ring, so that no second one is put before it.
    step.ring = pendingRing_;
    step.start = [this] { return api_.get_archive_count(session_, &ident_, &OnCounters, this); };
    step.finish = [this, ring = pendingRing_] {
        std::memcpy(&counters_, data_.data(), std::min(data_.size(), sizeof counters_));
        SettlePending(CounterOf(counters_, ring));
    };
    return step;
}

void MeterJob::SettlePending(std::uint32_t after) {
    std::vector<PendingSeries> pending;
    pending.swap(pending_);
    std::deque<Step> again;
    for (PendingSeries& p : pending) {
        const std::string name = SeriesName(p.series);
        const SeriesVerdict v = JudgeSeriesRead(p.from, p.before, after, p.values.size(), SeriesSlots(p.series));
        if (v.kind == SeriesVerdict::Kind::Store) {
            const std::vector<std::int64_t> kept(p.values.begin() + static_cast<std::ptrdiff_t>(v.skip),
                                                 p.values.begin() + static_cast<std::ptrdiff_t>(v.skip + v.keep));
            const std::uint32_t first = v.first + static_cast<std::uint32_t>(v.skip);
            std::optional<RecordGap> gap = v.gap;
            if (p.wanted < p.from) gap = RecordGap{p.wanted, gap ? gap->last : first - 1};
            const int added = store_.StoreSeries(key_, p.storeModule, name, first, kept, gap, run_);
            EmitSeries(p.series, p.storeModule, first, kept.size(), added, gap);
            continue;
        }
        if (p.attempt + 1 >= kSeriesAttempts) {
            Fail(kExitFailure, name + ": the meter kept writing while its ring was read");
            return;
        }
        // Read again from the new counters: planned to run next.
        std::deque<Step> rest;
        rest.swap(steps_);
        PlanSeries(p.series, p.storeModule, p.attempt + 1);
        for (Step& s : steps_) again.push_back(std::move(s));
        steps_.swap(rest);
    }
    for (auto it = again.rbegin(); it != again.rend(); ++it) steps_.push_front(std::move(*it));
}

void MeterJob::PlanLog(const std::string& log, int module) {
    const bool edit = log == "edit";
    auto head = std::make_shared<std::vector<std::uint16_t>>();
    Step step;
    step.what = std::string(LogName(edit)) + "-log head";
    step.start = [=, this] {
        if (edit)
            return api_.get_edit_head_module(session_, &ident_, static_cast<std::uint32_t>(module), &OnWords, this);
        if (module == 0) return api_.get_error_head_device(session_, &ident_, &OnWords, this);
        return api_.get_error_head_module(session_, &ident_, static_cast<std::uint32_t>(module), &OnWords, this);
    };
    step.finish = [=, this] {
        head->assign(count_, 0);
        std::memcpy(head->data(), data_.data(), std::min<std::size_t>(data_.size(), head->size() * 2));
        const auto stored = store_.LogHead(key_, log, module);
        if (stored && *stored == *head) return;
        // The head moved (or was never read): read the log's blocks, then
        // store the head last, so a run killed before that reads them again.
        std::vector<int> blocks;
        if (edit) blocks = {1};
        else if (module == 0) blocks = {1, 2, 3, 4, 5, 6, 7, 8};
        else if (module <= 6) blocks = {1, 2, 3, 4, 5};
        auto added = std::make_shared<int>(0);
        std::deque<Step> more;
        for (int block : blocks) {
            Step b;
            b.what = std::string(LogName(edit)) + "-log block";
            b.start = [=, this] {
                const auto m = static_cast<std::uint32_t>(module);
                const auto k = static_cast<std::uint32_t>(block);
                if (edit) return api_.get_edit_block_module(session_, &ident_, m, &OnRecords, this);
                if (module == 0) return api_.get_error_block_device(session_, &ident_, k, &OnRecords, this);
                return api_.get_error_block_module(session_, &ident_, m, k, &OnRecords, this);
            };
            b.finish = [=, this] { *added += store_.StoreLogBlock(key_, log, module, block, size_, data_, run_); };
            more.push_back(std::move(b));
        }
        more.push_back({"log head", nullptr, [=, this] {
                            store_.StoreLogHead(key_, log, module, *head, run_);
                            stored_.logRecords += *added;
                            out_.Batch({{"meter", spec_.name},
                                        {"serial", key_.serial},
                                        {"kind", "log"},
                                        {"log", log},
                                        {"module", module},
                                        {"head", *head},
                                        {"stored", *added}});
                        }});
        for (auto it = more.rbegin(); it != more.rend(); ++it) steps_.push_front(std::move(*it));
    };
    steps_.push_back(std::move(step));
}

MeterJob::State MeterJob::Poll() {
    if (state_ != State::Running) return state_;
    if (inFlight_) {
        if (!done_) {
            if (trace_.LastEventUs() != lastEventUs_) {
                lastEventUs_ = trace_.LastEventUs();
                lastLineChange_ = Clock::now();
                onLine_ = true;
            } else if (onLine_ && Clock::now() - lastLineChange_ >
                                      std::chrono::milliseconds(3LL * spec_.timeoutMs + kQuietSlackMs)) {
                Fail(kExitNoAnswer, "no answer to the " + steps_.front().what + " (the line fell silent)");
            }
            return state_;
        }
        inFlight_ = false;
        Step step = std::move(steps_.front());
        steps_.pop_front();
        switch (result_.status) {
            case Q31_OK: break;
            case Q31_OTHER_METER:
                Fail(kExitOtherMeter, "another meter answered the " + step.what + ": expected serial number " +
                                          std::to_string(result_.expected_serial) + ", found " +
                                          std::to_string(result_.found_serial));
                return state_;
            case Q31_NO_ANSWER:
                Fail(kExitNoAnswer,
                     "no answer to the " + step.what + ": " + LineTrace::Describe(trace_.Counts() - countsAtStart_));
                return state_;
            case Q31_PORT_ERROR:
                Fail(kExitPortFailed, "the port failed during the " + step.what + ": " +
                                          (trace_.Counts().lastOsError ? HostPortErrorText(trace_.Counts().lastOsError)
                                                                       : "write error"));
                return state_;
            default: Fail(kExitFailure, step.what + ": " + api_.strerror(result_.status)); return state_;
        }
        step.finish();
        if (state_ != State::Running) return state_;
    }
    while (state_ == State::Running && !inFlight_) {
        // Pending series are settled before anything but a read of their ring.
        if (!pending_.empty() && (steps_.empty() || steps_.front().ring != pendingRing_))
            steps_.push_front(SettleStep());
        if (steps_.empty()) {
            state_ = State::Done;
            break;
        }
        Step& next = steps_.front();
        if (!next.start) {
            Step step = std::move(next);
            steps_.pop_front();
            step.finish();
            continue;
        }
        done_ = false;
        result_ = {};
        data_.clear();
        count_ = size_ = 0;
        countsAtStart_ = trace_.Counts();
        const int status = next.start();
        if (status == kSkip) {
            steps_.pop_front();
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
    return state_;
}

void MeterJob::Done(const q31_result* r, const void* data, std::size_t bytes, std::uint32_t count, std::uint32_t size) {
    result_ = *r;
    if (r->status == Q31_OK && data && bytes) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        data_.assign(p, p + bytes);
    }
    count_ = count;
    size_ = size;
    done_ = true;
}

void Q31_CALL MeterJob::OnIdent(const q31_result* r, const SDevIdent* ident, void* user) {
    static_cast<MeterJob*>(user)->Done(r, ident, sizeof *ident, 1, sizeof *ident);
}
void Q31_CALL MeterJob::OnCount(const q31_result* r, std::uint32_t count, void* user) {
    static_cast<MeterJob*>(user)->Done(r, nullptr, 0, count, 0);
}
void Q31_CALL MeterJob::OnCurrent(const q31_result* r, const SCurrentData* data, void* user) {
    static_cast<MeterJob*>(user)->Done(r, data, sizeof *data, 1, sizeof *data);
}
void Q31_CALL MeterJob::OnTotals(const q31_result* r, const SAccumulatedData* data, void* user) {
    static_cast<MeterJob*>(user)->Done(r, data, sizeof *data, 1, sizeof *data);
}
void Q31_CALL MeterJob::OnCounters(const q31_result* r, const SArhiveCount* counters, void* user) {
    static_cast<MeterJob*>(user)->Done(r, counters, sizeof *counters, 1, sizeof *counters);
}
void Q31_CALL MeterJob::OnSeries(const q31_result* r, const void* values, std::uint32_t count, std::uint32_t size,
                                 void* user) {
    static_cast<MeterJob*>(user)->Done(r, values, static_cast<std::size_t>(count) * size, count, size);
}
void Q31_CALL MeterJob::OnWords(const q31_result* r, const std::uint16_t* words, std::uint32_t count, void* user) {
    static_cast<MeterJob*>(user)->Done(r, words, count * sizeof *words, count, sizeof *words);
}
void Q31_CALL MeterJob::OnRecords(const q31_result* r, const std::uint8_t* records, std::uint32_t count,
                                  std::uint32_t size, void* user) {
    static_cast<MeterJob*>(user)->Done(r, records, static_cast<std::size_t>(count) * size, count, size);
}

}  // namespace q31::tool::collect
