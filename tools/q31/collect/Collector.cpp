#include "tools/q31/collect/Collector.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "tools/q31/collect/MeterJob.h"
#include "tools/q31/collect/MeterPort.h"

namespace q31::tool::collect {

namespace {

using Clock = std::chrono::steady_clock;

struct Slot {
    std::unique_ptr<MeterJob> job;
    Clock::time_point due{};
    Clock::time_point nextArchive{};
    int failures = 0;       // in a row
    bool finished = false;  // --once: read, or out of retries
    bool failed = false;
    // Meters on one port run at once: the plug-in takes their requests in turn.
    bool active = false;
};

struct Line {
    std::unique_ptr<MeterPort> port;
    std::vector<Slot*> meters;
};

}  // namespace

Collector::Collector(const CollectConfig& config, const CollectOptions& options, PluginApi& api)
    : config_(config), options_(options), api_(api) {}

int Collector::Run(const volatile std::sig_atomic_t& stop) {
    CollectOutput out(options_.jsonl);
    CollectStore store(options_.db);
    const std::int64_t run = store.BeginRun(options_.once ? "once" : "watch");

    // Lines before meters: the sessions are closed before their ports.
    std::vector<std::unique_ptr<Line>> lines;
    std::vector<std::unique_ptr<Slot>> slots;
    std::map<std::string, Line*> byPort;
    std::vector<std::string> failures;
    int status = 0;
    RunTotals totals;

    const auto now0 = Clock::now();
    for (const MeterSpec& spec : config_.meters) {
        auto slot = std::make_unique<Slot>();
        slot->job = std::make_unique<MeterJob>(spec, api_, store, out, options_.trace);
        slot->due = slot->nextArchive = now0;
        Line*& line = byPort[spec.port];
        if (!line) {
            lines.push_back(std::make_unique<Line>());
            line = lines.back().get();
            line->port = std::make_unique<MeterPort>(spec);
        }
        std::string why;
        if (!line->port->Open()) why = line->port->Error();
        else if (!slot->job->Attach(line->port->Handle()))
            why = "the plug-in refused the line options (address, time-out, send limit, confirmation)";
        if (!why.empty()) {
            out.Note(spec.name + ": " + why);
            failures.push_back(spec.name + " (" + spec.port + "): " + why);
            if (!status) status = kExitPortOpen;
            ++totals.metersFailed;
            slot->finished = slot->failed = true;
        }
        line->meters.push_back(slot.get());
        slots.push_back(std::move(slot));
    }

    const auto backoff = [&](int failuresInRow) {
        long long ms = config_.retryBaseMs;
        for (int i = 1; i < failuresInRow && ms < config_.retryMaxMs; ++i) ms *= 2;
        return std::chrono::milliseconds(std::min<long long>(ms, config_.retryMaxMs));
    };

    bool interrupted = false;
    for (;;) {
        if (stop) {
            interrupted = true;
            break;
        }
        const auto now = Clock::now();
        bool anyActive = false;
        auto nextDue = now + std::chrono::seconds(1);
        for (auto& line : lines) {
            for (Slot* s : line->meters) {
                if (!s->active) continue;
                const MeterJob::State state = s->job->Poll();
                if (state == MeterJob::State::Done) {
                    s->active = false;
                    s->failures = 0;
                    if (options_.once) {
                        s->finished = true;
                        ++totals.metersOk;
                    } else {
                        const MeterSpec& m = s->job->Spec();
                        const auto archiveEvery = std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double, std::ratio<60>>(m.archiveEveryMin));
                        if (now >= s->nextArchive) s->nextArchive = now + archiveEvery;
                        auto next = s->nextArchive;
                        if (m.currentEveryMin > 0) next = std::min(next, now + std::chrono::minutes(m.currentEveryMin));
                        s->due = next;
                    }
                } else if (state == MeterJob::State::Failed) {
                    s->active = false;
                    ++s->failures;
                    out.Note(s->job->Failure());
                    if (options_.once && s->failures > config_.retries) {
                        s->finished = s->failed = true;
                        ++totals.metersFailed;
                        failures.push_back(s->job->Failure());
                    } else {
                        s->due = now + backoff(s->failures);
                    }
                }
            }
            for (Slot* s : line->meters) {
                if (s->finished || s->active) continue;
                if (s->due <= now) {
                    s->active = true;
                    s->job->Begin(run, now >= s->nextArchive || options_.once);
                    s->job->Poll();
                } else {
                    nextDue = std::min(nextDue, s->due);
                }
            }
            for (Slot* s : line->meters) anyActive = anyActive || s->active;
        }
        if (options_.once &&
            std::all_of(slots.begin(), slots.end(), [](const std::unique_ptr<Slot>& s) { return s->finished; }))
            break;
        int waitMs = 20;
        if (!anyActive) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextDue - Clock::now()).count();
            waitMs = static_cast<int>(std::clamp<long long>(left, 1, 200));
        }
        api_.PumpMessages(waitMs);
    }

    for (const auto& s : slots)
        if (s->active) s->job->Cancel();
    for (const auto& s : slots) {
        const RunTotals& t = s->job->Stored();
        totals.records += t.records;
        totals.gaps += t.gaps;
        totals.logRecords += t.logRecords;
        totals.snapshots += t.snapshots;
        if (!options_.once && !s->failed) {
            if (s->failures > 0) {
                ++totals.metersFailed;
                failures.push_back(s->job->Failure());
            } else if (s->due > now0) {
                ++totals.metersOk;
            }
        }
    }
    // The exit status tells the kind of failure of the first meter (in the
    // configuration's order) that stayed failed.
    for (const auto& s : slots)
        if (!status && s->failed && s->job->FailureStatus() != kExitOk) status = s->job->FailureStatus();
    store.EndRun(run, totals, interrupted ? "interrupted" : (failures.empty() ? "done" : "failures"));
    out.Summary(totals, failures, interrupted);
    // Sessions go before the lines they write on.
    for (auto& s : slots) s->job.reset();
    lines.clear();
    return interrupted ? 0 : status;
}

}  // namespace q31::tool::collect
