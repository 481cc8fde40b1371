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
    if (inFlight_) api_.cancel(session_);
    inFlight_ = false;
}

void MeterJob::Cancel() {
    if (inFlight_) api_.cancel(session_);
    inFlight_ = false;
    steps_.clear();
    state_ = State::Idle;
}

void MeterJob::Begin(std::int64_t run, bool archive) {
    run_ = run;
    steps_.clear();
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
             store_.NoteMeter(spec_, ident_, modules_);
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
                 more.push_back(
                     {"archive counters",
                      [this] { return api_.get_archive_count(session_, &ident_, &OnCounters, this); },
                      [this] { std::memcpy(&counters_, data_.data(), std::min(data_.size(), sizeof counters_)); }});
             }
             // After the steps just planned; the series are planned once the counters are in.
             for (auto it = more.rbegin(); it != more.rend(); ++it) steps_.push_front(std::move(*it));
             if (!archive) return;
             std::vector<int> modules = spec_.modules;
             if (modules.empty())
                 for (std::uint32_t m = 1; m <= modules_; ++m) modules.push_back(static_cast<int>(m));
             modules.erase(
                 std::remove_if(modules.begin(), modules.end(), [&](int m) { return m > static_cast<int>(modules_); }),
                 modules.end());
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
    nlohmann::ordered_json line{{"meter", spec_.name},   {"kind", "archive"}, {"series", SeriesName(series)},
                                {"module", storeModule}, {"first", first},    {"last", first + count - 1},
                                {"count", count},        {"stored", added}};
    if (gap) {
        ++stored_.gaps;
        line["gap"] = {{"first", gap->first}, {"last", gap->last}};
        out_.Note(spec_.name + ": " + SeriesName(series) + " module " + std::to_string(storeModule) + ": records " +
                  std::to_string(gap->first) + ".." + std::to_string(gap->last) +
                  " were overwritten in the meter before they were read");
    }
    out_.Batch(line);
}

void MeterJob::PlanSeries(int series, int storeModule, int attempt) {
    struct Read {
        std::uint32_t from = 0;
        std::optional<RecordGap> gap;
    };
    auto read = std::make_shared<Read>();
    const std::string name = SeriesName(series);
    const std::uint32_t slots = SeriesSlots(series);
    const std::uint32_t requestModule = storeModule == 0 ? 1 : static_cast<std::uint32_t>(storeModule);
    Step step;
    step.what = "archive series " + name;
    step.start = [=, this] {
        // Where to go on is read from the data itself, never from a marker
        // that a killed run could have left behind or ahead of it.
        const std::uint32_t counter = SeriesIsDaily(series) ? counters_.DayCount : counters_.HourCount;
        const std::uint32_t oldest = counter > slots ? counter - slots : 0;
        const auto last = store_.LastRecord(spec_.name, storeModule, name);
        read->gap.reset();
        read->from = last ? *last + 1 : oldest;
        if (last && *last >= counter) {
            out_.Note(spec_.name + ": " + name + " module " + std::to_string(storeModule) + ": the meter counts " +
                      std::to_string(counter) + " records, record " + std::to_string(*last) +
                      " is stored already (a meter replaced or reset?); nothing read");
            return kSkip;
        }
        if (read->from < oldest) {
            read->gap = RecordGap{read->from, oldest - 1};
            read->from = oldest;
        }
        if (read->from >= counter) return kSkip;
        return api_.get_archive_series(session_, &ident_, static_cast<q31_series>(series), requestModule, read->from,
                                       &OnSeries, this);
    };
    step.finish = [=, this] {
        std::vector<std::int64_t> values = Values();
        if (values.empty()) return;
        if (values.size() > slots) {
            Fail(kExitFailure,
                 name + ": the meter delivered " + std::to_string(values.size()) + " values, more than its ring holds");
            return;
        }
        if (values.size() < slots) {
            // Fewer than a whole ring: the read began at `from` itself.
            const int added = store_.StoreSeries(spec_.name, storeModule, name, read->from, values, read->gap, run_);
            EmitSeries(series, storeModule, read->from, values.size(), added, read->gap);
            return;
        }
        // A whole ring either began at `from` or, had the meter written in
        // the meantime and overwritten `from`, at its new oldest record. The
        // counter after the read tells: it is from + ring size only in the
        // first case.
        auto held = std::make_shared<std::vector<std::int64_t>>(std::move(values));
        steps_.push_front(
            {"archive counters", [this] { return api_.get_archive_count(session_, &ident_, &OnCounters, this); },
             [=, this] {
                 std::memcpy(&counters_, data_.data(), std::min(data_.size(), sizeof counters_));
                 const std::uint32_t counter = SeriesIsDaily(series) ? counters_.DayCount : counters_.HourCount;
                 if (counter == read->from + slots) {
                     const int added =
                         store_.StoreSeries(spec_.name, storeModule, name, read->from, *held, read->gap, run_);
                     EmitSeries(series, storeModule, read->from, held->size(), added, read->gap);
                     return;
                 }
                 if (attempt + 1 >= kSeriesAttempts) {
                     Fail(kExitFailure, name + ": the meter kept writing while its ring was read");
                     return;
                 }
                 // Read again from the new counters: planned to run next.
                 std::deque<Step> rest;
                 rest.swap(steps_);
                 PlanSeries(series, storeModule, attempt + 1);
                 for (Step& s : rest) steps_.push_back(std::move(s));
             }});
    };
    steps_.push_back(std::move(step));
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
        const auto stored = store_.LogHead(spec_.name, log, module);
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
            b.finish = [=, this] {
                *added += store_.StoreLogBlock(spec_.name, log, module, block, size_, data_, run_);
            };
            more.push_back(std::move(b));
        }
        more.push_back({"log head", nullptr, [=, this] {
                            store_.StoreLogHead(spec_.name, log, module, *head, run_);
                            stored_.logRecords += *added;
                            out_.Batch({{"meter", spec_.name},
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
            } else if (Clock::now() - lastLineChange_ >
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
