// The archive's part of a meter's pass: the series, read from just after the
// newest stored record and settled against the counters read after them,
// and the logs whose heads moved.
#include <algorithm>
#include <memory>

#include "tools/q31/collect/MeterJob.h"
#include "tools/q31/common/ArchiveSeries.h"

namespace q31::tool::collect {

namespace {

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

}  // namespace

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
        const std::uint32_t counter = CounterOf(meter_.counters, ring);
        const std::uint32_t oldest = counter > slots ? counter - slots : 0;
        const auto last = store_.LastRecord(meter_.key, storeModule, name);
        read->from = read->wanted = last ? *last + 1 : oldest;
        read->before = counter;
        if (attempt + 1 == kSeriesAttempts && counter >= slots && read->from < oldest + kRetrySkip)
            read->from = oldest + kRetrySkip;
        if (last && *last >= counter) {
            // The pass began with counters beyond this; they went back since.
            out_.Warn(settings_.name + ": " + name + " module " + std::to_string(storeModule) + ": the meter counts " +
                      std::to_string(counter) + " records, record " + std::to_string(*last) +
                      " is stored already (reset during the read?); nothing read");
            return Step::kSkip;
        }
        if (read->from >= counter) return Step::kSkip;
        return api_.get_archive_series(session_, &meter_.ident, static_cast<q31_series>(series), requestModule,
                                       read->from, &PendingCall::OnSeries, &call_);
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
            CounterOf(meter_.counters, ring) = std::max(CounterOf(meter_.counters, ring), counter);
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
    step.start = [this] { return api_.get_archive_count(session_, &meter_.ident, &PendingCall::OnCounters, &call_); };
    step.finish = [this, ring = pendingRing_] {
        const auto now = call_.As<SArhiveCount>();
        if (now.HourCount < meter_.passCounters.HourCount || now.DayCount < meter_.passCounters.DayCount) {
            // Reset during the pass: the record numbers name the new run's
            // records now, which must not go under the old epoch. The next
            // pass finds the reset at its start and reads them into a new one.
            Fail(kExitFailure, "the meter's counters went back during the read (hours " +
                                   std::to_string(meter_.passCounters.HourCount) + " to " +
                                   std::to_string(now.HourCount) + ", days " +
                                   std::to_string(meter_.passCounters.DayCount) + " to " +
                                   std::to_string(now.DayCount) + "): a reset, read into a new epoch next pass");
            return;
        }
        meter_.counters = now;
        SettlePending(CounterOf(meter_.counters, ring));
    };
    return step;
}

void MeterJob::SettlePending(std::uint32_t after) {
    std::vector<PendingSeries> pending;
    pending.swap(pending_);
    std::vector<Step> again;
    // `after` was read just now: its newest record closed at the last hour
    // (or day) boundary the collector's clock passed.
    const std::int64_t now = wallClock_();
    for (PendingSeries& p : pending) {
        const std::string name = SeriesName(p.series);
        const ArchiveStamp stamp = StampAt(after, now, SeriesIsDaily(p.series), settings_.archiveEveryMin,
                                           QuantityOf(settings_.quantities, name));
        const SeriesVerdict v = JudgeSeriesRead(p.from, p.before, after, p.values.size(), SeriesSlots(p.series));
        if (v.kind == SeriesVerdict::Kind::Store) {
            const std::vector<std::int64_t> kept(p.values.begin() + static_cast<std::ptrdiff_t>(v.skip),
                                                 p.values.begin() + static_cast<std::ptrdiff_t>(v.skip + v.keep));
            const std::uint32_t first = v.first + static_cast<std::uint32_t>(v.skip);
            std::optional<RecordGap> gap = v.gap;
            if (p.wanted < p.from) gap = RecordGap{p.wanted, gap ? gap->last : first - 1};
            writer_.Series(meter_.key, name, p.storeModule, first, kept, gap, pass_.run, stamp);
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
        if (edit) return api_.get_edit_head_module(session_, &meter_.ident, m, &PendingCall::OnWords, &call_);
        if (module == 0) return api_.get_error_head_device(session_, &meter_.ident, &PendingCall::OnWords, &call_);
        return api_.get_error_head_module(session_, &meter_.ident, m, &PendingCall::OnWords, &call_);
    };
    step.finish = [=, this] {
        const std::vector<std::uint16_t> head = call_.Words();
        const auto stored = store_.LogHead(meter_.key, log, module);
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
                if (edit)
                    return api_.get_edit_block_module(session_, &meter_.ident, m, &PendingCall::OnRecords, &call_);
                if (module == 0)
                    return api_.get_error_block_device(session_, &meter_.ident, k, &PendingCall::OnRecords, &call_);
                return api_.get_error_block_module(session_, &meter_.ident, m, k, &PendingCall::OnRecords, &call_);
            };
            b.finish = [=, this] {
                writer_.LogBlock(meter_.key, log, module, block, call_.Size(), call_.Bytes(), pass_.run);
            };
            next.push_back(std::move(b));
        }
        next.push_back({"log head", nullptr, [=, this] { writer_.LogHead(meter_.key, log, module, head, pass_.run); }});
        steps_.Next(std::move(next));
    };
    return step;
}

}  // namespace q31::tool::collect
