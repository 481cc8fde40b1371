// The collector's channels: passes on a line one at a time, modem lines, and
// the channels' cycle times.
#include "tools/q31/collect/Collector.h"
#include "tools/q31/common/ToolError.h"

namespace q31::tool::collect {

bool Collector::Busy(const Line& line) {
    return std::any_of(line.meters.begin(), line.meters.end(), [](const Slot* s) { return s->active; });
}

void Collector::PollLine(Line& line, Clock::time_point now) {
    if (!line.modem.empty()) CheckModemLine(line, now);
    for (Slot* s : line.meters) {
        if (!s->active) continue;
        const MeterJob::State state = s->job->Poll();
        if (state == MeterJob::State::Done || state == MeterJob::State::Failed) PassEnded(line, *s, state, now);
        if (!Opened(line)) break;  // closed: its meters wait for it
    }
    // One pass at a time; the meter due longest goes first, so that a
    // meter read often never keeps the others from their turn. None while
    // the last pass's late answers may still come.
    Slot* next = nullptr;
    for (Slot* s : line.meters)
        if (!s->finished && !s->active && s->due <= now && (!next || s->due < next->due)) next = s;
    if (next && !Busy(line) && now >= line.quietUntil && OpenLine(line, now)) StartPass(line, *next, now);
    CycleStep(line, now);
}

void Collector::StartPass(Line& line, Slot& s, Clock::time_point now) {
    const PortHandle handle = line.open ? line.open->Handle() : modems_->Handle(line.modem);
    // The options were taken when the line opened; a refusal now is the plug-in's own trouble.
    if (!s.job->Attach(handle)) {
        s.job->Unreachable(run_, kExitFailure, "error", "the plug-in opened no session");
        AttemptFailed(s, now);
        return;
    }
    s.active = true;
    s.passStarted = now;
    s.archivePass = options_.once || now >= s.nextArchive;
    s.job->Begin(run_, s.archivePass);
    s.job->Poll();
}

void Collector::Wait(Clock::time_point nextDue, bool anyActive) {
    int waitMs = 20;
    if (!anyActive) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextDue - Clock::now()).count();
        waitMs = static_cast<int>(std::clamp<long long>(left, 1, 200));
    }
    api_.PumpMessages(waitMs);
}

std::vector<std::string> Collector::ModemIds() const {
    std::vector<std::string> ids;
    for (const MeterSettings& m : config_.meters)
        if (!ModemIdOf(m.port).empty()) ids.push_back(ModemIdOf(m.port));
    return ids;
}

void Collector::StartModems(bool reloading) {
    // The listener stays as the run began: the modems' calls last across reloads.
    if (modems_) {
        if (!config_.modems.enabled || config_.modems.listen != modems_->Listen())
            out_.Warn("[modems] changed: ignored until the collector is restarted; still listening on " +
                      modems_->Listen());
        return;
    }
    if (!config_.modems.enabled) return;
    auto hub = std::make_unique<ModemHub>(config_.modems);
    // Its modems are known before it listens: one that calls at once is ours,
    // not a stranger to hang up on.
    std::string why;
    if (!hub->Expect(ModemIds())) why = "no socket pair for the modems' lines";
    if (!why.empty() || !hub->Start(&why)) {
        // A reload keeps collecting from the other lines; a start has nothing to wait for.
        if (!reloading) throw ToolError(kExitPortOpen, "[modems]: " + why);
        out_.Error("[modems]: " + why + ": the meters behind modems wait until it can be had");
        return;
    }
    modems_ = std::move(hub);
    out_.Info("listening for modems on " + config_.modems.listen);
}

bool Collector::OpenModemLine(Line& line, Clock::time_point now) {
    if (!modems_ || !modems_->Connected(line.modem)) {
        const std::string why = "modem " + line.modem + " has not called in";
        // Waiting for a modem is no failure: it calls when it calls. A run
        // from cron cannot wait for ever, though.
        const bool givenUp = options_.once && now - runStart_ >= std::chrono::seconds(config_.modems.onceWaitS);
        if (line.lastError != why) out_.Info(line.port + ": waiting for its modem to call in");
        line.lastError = why;
        line.retryAt = now + std::chrono::milliseconds(100);
        for (Slot* s : line.meters) {
            if (s->finished) continue;
            if (givenUp && s->due <= now) {
                s->job->Unreachable(run_, kExitPortOpen, "port error", why);
                AttemptFailed(*s, now);
            }
            s->due = std::max(s->due, line.retryAt);
        }
        return false;
    }
    const PortHandle handle = modems_->Handle(line.modem);
    for (Slot* s : line.meters) {
        const bool refused = !s->finished && !s->job->Attach(handle);
        s->job->Detach();
        if (!refused) continue;
        out_.Error("the plug-in refused the line options of " + s->job->Settings().name);
        line.retryAt = now + Backoff(++line.failures);
        return false;
    }
    line.lastError.clear();
    line.modemOpen = true;
    return true;
}

void Collector::CheckModemLine(Line& line, Clock::time_point now) {
    if (!line.modemOpen || !modems_ || modems_->Connected(line.modem)) return;
    // A pass on the line ends by its own time-outs; its sessions leave after it.
    for (const Slot* s : line.meters)
        if (s->active) return;
    for (Slot* s : line.meters) s->job->Detach();
    line.modemOpen = false;
    line.retryAt = now;
}

void Collector::TellModemNews() {
    if (!modems_) return;
    for (const auto& [level, text] : modems_->TakeNews()) out_.Log(level, text);
}

void Collector::CycleStep(Line& line, Clock::time_point now) {
    const bool busy = Busy(line);
    if (busy && !line.cycling) {
        line.cycling = true;
        line.cycleStart = now;
    } else if (!busy && line.cycling) {
        line.cycling = false;
        cycles_.Set(line.port, std::chrono::duration<double>(now - line.cycleStart).count());
    }
}

}  // namespace q31::tool::collect
