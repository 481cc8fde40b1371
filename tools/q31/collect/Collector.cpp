#include "tools/q31/collect/Collector.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <thread>

#include "support/FileAccess.h"
#include "support/HostName.h"
#include "tools/q31/collect/LinePlanOf.h"
#include "tools/q31/common/StoreFullError.h"
#include "tools/q31/common/ToolError.h"
#include "tools/q31/forward/SinkFactory.h"

namespace q31::tool::collect {

Collector::Collector(CollectConfig config, const CollectOptions& options, PluginApi& api)
    : config_(std::move(config)),
      options_(options),
      api_(api),
      opener_(api),
      out_(options.jsonl, options.logLevel, options.journal) {}

Collector::~Collector() { TearDown(); }

void Collector::Build() {
    std::map<std::string, Line*> byPort;
    const auto now = Clock::now();
    for (const MeterSettings& settings : config_.meters) {
        auto slot = std::make_unique<Slot>();
        slot->job = std::make_unique<MeterJob>(settings, api_, *store_, out_, options_.trace);
        slot->due = slot->nextArchive = now;
        Line*& line = byPort[settings.port];
        if (!line) {
            lines_.push_back(std::make_unique<Line>());
            line = lines_.back().get();
            line->port = settings.port;
            line->modem = ModemIdOf(settings.port);
            line->retryAt = now;
        }
        line->meters.push_back(slot.get());
        slots_.push_back(std::move(slot));
    }
    // A reload may name modems the hub has not had yet.
    if (modems_ && !modems_->Expect(ModemIds())) throw ToolError(kExitPortOpen, "no socket pair for the modems' lines");
}

void Collector::TearDown() {
    for (const auto& s : slots_)
        if (s->active) s->job->Cancel();
    // Sessions go before the lines they write on.
    for (const auto& s : slots_) s->job.reset();
    slots_.clear();
    lines_.clear();
    opener_.Clear();
}

namespace {
// A pause as an operator reads it: whole seconds, or tenths below ten (a
// back-off of 300 ms is not "0 s").
std::string SecondsText(long long ms) {
    char text[32];
    if (ms >= 10000 || ms % 1000 == 0) std::snprintf(text, sizeof text, "%lld s", (ms + 500) / 1000);
    else std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}
}  // namespace

Collector::Clock::duration Collector::Backoff(int failuresInRow) const {
    long long ms = config_.retryBaseMs;
    for (int i = 1; i < failuresInRow && ms < config_.retryMaxMs; ++i) ms *= 2;
    return std::chrono::milliseconds(std::min<long long>(ms, config_.retryMaxMs));
}

bool Collector::OpenLine(Line& line, Clock::time_point now) {
    if (Opened(line)) return true;
    if (now < line.retryAt) return false;
    if (!line.modem.empty()) return OpenModemLine(line, now);
    // The first meter's line settings (and, for a virtual line, its sim table)
    // make the line, opened aside: its meters wait for it meanwhile.
    std::unique_ptr<MeterLine> port = opener_.Take(line.port);
    line.opening = !port;
    if (line.opening) {
        opener_.Request(line.port, LinePlanOf(line.meters.front()->job->Settings()));
        return false;
    }
    std::string why;
    if (!port->Open()) why = port->Error();
    // Each session is tried and closed at once (a session holds a request's
    // buffers), and opened again for its pass.
    for (Slot* s : line.meters) {
        if (!why.empty() || s->finished) break;
        const bool taken = s->job->Attach(port->Handle());
        s->job->Detach();
        if (!taken)
            why = "the plug-in refused the line options (address, time-out, send limit, confirmation) of " +
                  s->job->Settings().name;
    }
    if (why.empty()) {
        if (!line.lastError.empty()) out_.Info("port " + line.port + " is open again");
        line.lastError.clear();
        line.open = std::move(port);
        return true;
    }
    ++line.failures;
    line.retryAt = now + Backoff(line.failures);
    const bool busy = port->Busy();
    port.reset();
    // Once per change, not once per try: a port that stays away is not news.
    // A run from cron tries only its retries, and says so.
    if (why != line.lastError && !options_.once)
        out_.Error(why + "; trying again with back-off (up to " + SecondsText(config_.retryMaxMs) + ")");
    else if (why != line.lastError && config_.retries == 0)
        out_.Error(why + "; not tried again in this run (retries = 0)");
    else if (why != line.lastError)
        out_.Error(why + "; tried again up to " + std::to_string(config_.retries) + " times in this run");
    line.lastError = why;
    for (Slot* s : line.meters) {
        if (s->finished) continue;
        if (s->due <= now) {
            s->job->Unreachable(run_, kExitPortOpen, busy ? "port busy" : "port error", why);
            AttemptFailed(*s, now);
        }
        // Every meter of the line waits for the line.
        if (!s->finished) s->due = std::max(s->due, line.retryAt);
    }
    return false;
}

void Collector::CloseLine(Line& line, Clock::time_point now, const std::string& why) {
    for (Slot* s : line.meters) {
        if (s->active) {
            s->job->Cancel();
            s->active = false;
        }
        s->job->Detach();
    }
    line.open.reset();
    line.modemOpen = false;
    line.retryAt = now + Backoff(line.failures);
    line.lastError = why;
    // With --once the line is opened again only for a meter with retries left.
    const bool again = std::any_of(line.meters.begin(), line.meters.end(), [](const Slot* s) { return !s->finished; });
    if (again)
        out_.Error("port " + line.port + " failed (" + why + "): closed, opened again in " +
                   SecondsText(std::chrono::duration_cast<std::chrono::milliseconds>(line.retryAt - now).count()));
    else out_.Error("port " + line.port + " failed (" + why + "): closed, not tried again in this run");
    for (Slot* s : line.meters)
        if (!s->finished) s->due = std::max(s->due, line.retryAt);
}

void Collector::AttemptFailed(Slot& s, Clock::time_point now) {
    ++s.failures;
    // Once per change: a meter that stays silent is told once, not at every try
    // (the port's own failures are told by the line).
    const std::string& why = s.job->Failure();
    const ExitStatus status = s.job->FailureStatus();
    if (status == kExitPortOpen || status == kExitPortFailed) out_.Debug(why);
    else out_.Log(why != s.lastFailure ? LogLevel::Warn : LogLevel::Debug, why);
    s.lastFailure = why;
    if (options_.once && s.failures > config_.retries) s.finished = s.failed = true;
    else s.due = now + Backoff(s.failures);
}

void Collector::StoreFull(Line& line, const std::string& why, Clock::time_point now) {
    if (diskFullTries_++ == 0) {
        out_.Error(why + ": nothing is stored until there is space again; the meters are tried again meanwhile");
        try {
            store_->NoteRunStatus(run_, "disk full");
        } catch (const ToolError&) {
            // Full for that too: the next run finds this one without an end and says so.
        }
    }
    // The batch was rolled back; the meters keep it, and the next pass
    // reads it again.
    for (Slot* s : line.meters) {
        if (s->active) s->job->Cancel();
        s->active = false;
        if (!s->finished) s->due = std::max(s->due, now + Backoff(diskFullTries_));
    }
}

void Collector::PassEnded(Line& line, Slot& s, MeterJob::State state, Clock::time_point now) {
    s.active = false;
    line.quietUntil = now + std::chrono::milliseconds(s.job->LateAnswerWaitMs());
    // Its session, and the session's reader thread, go with the pass.
    s.job->Detach();
    // Every pass ends with its attempt written: the disk takes writes again.
    if (diskFullTries_ > 0) {
        diskFullTries_ = 0;
        out_.Info("the database takes writes again: collecting goes on");
        store_->NoteRunStatus(run_, "running");
    }
    if (state == MeterJob::State::Done) {
        if (s.failures > 0)
            out_.Info(s.job->Settings().name + ": read again after " + std::to_string(s.failures) + " failed attempt" +
                      (s.failures == 1 ? "" : "s"));
        s.failures = 0;
        s.lastFailure.clear();
        line.failures = 0;
        read_.insert(s.job->Settings().name);
        if (options_.once) {
            s.finished = true;
            return;
        }
        // Periods count from the start of a pass, so that they do not drift by
        // the time each pass takes.
        const MeterSettings& m = s.job->Settings();
        if (s.archivePass)
            s.nextArchive = s.passStarted + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double, std::ratio<60>>(m.archiveEveryMin));
        auto next = s.nextArchive;
        if (m.currentEveryMin > 0) next = std::min(next, s.passStarted + std::chrono::minutes(m.currentEveryMin));
        s.due = std::max(next, now);
        return;
    }
    AttemptFailed(s, now);
    if (s.job->FailureStatus() == kExitPortFailed) {
        ++line.failures;
        CloseLine(line, now, s.job->Failure());
    }
}

bool Collector::AllFinished() const {
    return std::all_of(slots_.begin(), slots_.end(), [](const std::unique_ptr<Slot>& s) { return s->finished; });
}

void Collector::Reload() {
    CollectConfig fresh;
    try {
        fresh = options_.reload();
    } catch (const ToolError& e) {
        out_.Error(std::string("the configuration was not reloaded: ") + e.what());
        return;
    }
    // The database stays open for the whole run: another file is another
    // journal, which the sinks' positions do not belong to.
    if (fresh.db != config_.db && options_.db == config_.db)
        out_.Warn("db changed to " + fresh.db + ": ignored until the collector is restarted; still writing to " +
                  options_.db);
    // Between batches: what the passes on the line stored stays, and the
    // next passes go on from there.
    for (const auto& s : slots_) earlier_.AddStored(s->job->Stored());
    StopOutputs();
    TearDown();
    config_ = std::move(fresh);
    try {
        store_->NoteQuantities(config_.meters);
    } catch (const ToolError& e) {
        // The values still get the new units; only the table that names them lags.
        out_.Error(std::string("the quantities in force could not be written: ") + e.what());
    }
    StartModems(true);
    Build();
    StartOutputs();
    out_.Info("configuration reloaded: " + std::to_string(config_.meters.size()) + " meters on " +
              std::to_string(lines_.size()) + " lines");
}

namespace {
// With --once (cron), a database held for longer than this fails the run; a
// collector that watches waits for as long as it takes.
constexpr long long kOnceLockLimitMs = 120000;
constexpr long long kLockToldAfterMs = 1000;
}  // namespace

bool Collector::KeepWaitingForDatabase(long long waitedMs) {
    if (waitedMs >= kLockToldAfterMs && lockedMs_ < 0) {
        out_.Warn("the database " + options_.db +
                  " is locked by another program: waiting (the meters' data waits in memory)");
        lockedMs_ = waitedMs;
    }
    if (lockedMs_ >= 0) lockedMs_ = waitedMs;
    // The wait is the loop's turn: the watchdog must not take it for a hang.
    notify_.Alive();
    if (signals_.stop && *signals_.stop) {
        stoppedWhileLocked_ = true;
        return false;
    }
    return !(options_.once && waitedMs > kOnceLockLimitMs);
}

bool Collector::OpenStore() {
    try {
        // Opened here, with the wait for a database another program holds
        // in force from the first statement: a collector started during a
        // long report waits it out as it would later on.
        store_ = std::make_unique<CollectStore>(
            options_.db, [this](long long waitedMs) { return KeepWaitingForDatabase(waitedMs); });
        run_ = store_->BeginRun(options_.once ? "once" : "watch");
        // What the stored values mean is read by the status page and the
        // dashboards from here, for meters that stored nothing yet too.
        store_->NoteQuantities(config_.meters);
        if (const auto earlier = store_->UnendedRunBefore(run_))
            out_.Warn("run " + std::to_string(earlier->first) + " has no end on record (status \"" + earlier->second +
                      "\"): it was killed, the machine stopped, or the disk was too full to write its end");
    } catch (const ToolError&) {
        if (!stoppedWhileLocked_) throw;
        out_.Warn("stopped while the database was locked by another program: nothing was read");
        return false;
    }
    return true;
}

std::string Collector::CollectingText() const {
    return "collecting " + std::to_string(slots_.size()) + (slots_.size() == 1 ? " meter" : " meters");
}

int Collector::Run(CollectSignals signals) {
    signals_ = signals;
    if (!OpenStore()) return 0;
    // The status page's clients must not take the descriptors the sinks and
    // the database need.
    RaiseOpenFileLimit();
    runStart_ = Clock::now();
    StartModems(false);
    Build();
    WarnOfOpenSecrets();
    StartOutputs();
    notify_.Ready(CollectingText());
    bool interrupted = false;
    try {
        interrupted = Loop();
    } catch (const ToolError&) {
        // A stop that came while another program held the database: the
        // batch waiting to be written is dropped (the next run reads it
        // again from the meters), and the stop goes on as any other.
        if (!stoppedWhileLocked_) throw;
        out_.Warn(
            "stopped while the database was locked by another program: what was read since the last batch "
            "stored is read again by the next run");
        interrupted = true;
    }
    notify_.Stopping();
    return Finish(interrupted);
}

void Collector::TakeReload() {
    if (!signals_.reload || !*signals_.reload) return;
    *signals_.reload = 0;
    if (!options_.reload) return;
    notify_.Reloading();
    Reload();
    notify_.Ready(CollectingText());
}

void Collector::PollLineOrWaitForSpace(Line& line, Clock::time_point now) {
    try {
        PollLine(line, now);
    } catch (const StoreFullError& e) {
        // A run from cron ends with it (status 1); one that watches waits
        // for space.
        if (options_.once) {
            try {
                store_->NoteRunStatus(run_, "disk full");
            } catch (const ToolError&) {
            }
            throw;
        }
        StoreFull(line, e.what(), now);
    }
}

bool Collector::Loop() {
    for (;;) {
        notify_.Alive();
        if (signals_.stop && *signals_.stop) return true;
        TakeReload();
        if (lockedMs_ >= 0) {
            out_.Info("the database is free again after " + std::to_string(lockedMs_ / 1000) + " s");
            lockedMs_ = -1;
        }
        TellModemNews();
        const auto now = Clock::now();
        auto nextDue = now + std::chrono::seconds(1);
        bool anyActive = false;
        for (auto& line : lines_) {
            PollLineOrWaitForSpace(*line, now);
            // An opening line is looked at as often as a busy one.
            anyActive = anyActive || line->opening;
            for (Slot* s : line->meters) {
                anyActive = anyActive || s->active;
                if (!s->finished && !s->active) nextDue = std::min(nextDue, s->due);
            }
        }
        if (options_.once && AllFinished()) return false;
        Wait(nextDue, anyActive);
    }
}

int Collector::Finish(bool interrupted) {
    for (const auto& s : slots_)
        if (s->active) s->job->Cancel();
    RunTotals totals = earlier_;
    totals.metersOk = static_cast<int>(read_.size());
    std::vector<std::string> failures;
    for (const auto& s : slots_) {
        totals.AddStored(s->job->Stored());
        // A meter whose last attempt failed.
        if (s->failed || s->failures > 0) {
            ++totals.metersFailed;
            failures.push_back(s->job->Failure());
        }
    }
    // The exit status tells the kind of failure of the first meter (in the
    // configuration's order) that stayed failed.
    int status = 0;
    for (const auto& s : slots_)
        if (!status && s->failed && s->job->FailureStatus() != kExitOk) status = s->job->FailureStatus();
    try {
        store_->EndRun(run_, totals, interrupted ? "interrupted" : (failures.empty() ? "done" : "failures"));
    } catch (const StoreFullError& e) {
        out_.Error(std::string(e.what()) + ": the run's end is not on record");
    } catch (const ToolError&) {
        // Still held: the run's row stays open, as a killed run's does.
        if (!stoppedWhileLocked_) throw;
    }
    out_.Summary(totals, failures, interrupted);
    std::vector<std::string> down;
    if (options_.once && !interrupted) down = DrainOutputs();
    StopOutputs();
    TearDown();
    if (interrupted) return 0;
    // The meters' status first: a sink that is down has its own only when
    // every meter was read.
    if (status == 0 && !down.empty()) {
        std::string names;
        for (const std::string& d : down) names += (names.empty() ? "" : ", ") + d;
        out_.Error("sink" + std::string(down.size() == 1 ? " " : "s ") + names +
                   ": not reached, or refused what was shipped; what this run stored waits in the journal for the "
                   "next run");
        status = kExitSinkDown;
    }
    return status;
}

}  // namespace q31::tool::collect
