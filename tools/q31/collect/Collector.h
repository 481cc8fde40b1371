// The collector's loop: every meter of the configuration through its own
// session, all on this thread; the lines (channels) are read side by side,
// and the meters of one line one after another (an RS-485 line carries one
// exchange at once), each on a session opened for its pass, so that the
// plug-in's reader threads grow with the lines, not with the meters, and a
// line that is slow or dead holds up no other; a meter that fails is noted, tried again after a
// growing pause, and the others go on meanwhile. A port that cannot be
// opened, or fails, is closed and opened again after the same pauses, for
// as long as the collector runs.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/ServiceNotify.h"
#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/collect/CollectOptions.h"
#include "tools/q31/collect/CollectOutput.h"
#include "tools/q31/collect/CollectSignals.h"
#include "tools/q31/collect/CollectStore.h"
#include "tools/q31/collect/LineOpener.h"
#include "tools/q31/collect/MeterJob.h"
#include "tools/q31/collect/ModemHub.h"
#include "tools/q31/common/MeterLine.h"
#include "tools/q31/common/PluginApi.h"
#include "tools/q31/forward/Forwarder.h"
#include "tools/q31/status/ChannelCycles.h"
#include "tools/q31/status/StatusServer.h"

namespace q31::tool::collect {

class Collector {
public:
    using Clock = std::chrono::steady_clock;

    Collector(CollectConfig config, const CollectOptions& options, PluginApi& api);
    ~Collector();

    // Runs until one pass is over (--once) or the stop signal comes.
    // Returns the exit status: 0, or the kind of the first meter's failure
    // that no retry cured.
    int Run(CollectSignals signals);

private:
    struct Slot {
        std::unique_ptr<MeterJob> job;
        Clock::time_point due{};
        Clock::time_point nextArchive{};
        Clock::time_point passStarted{};
        bool archivePass = false;
        int failures = 0;  // in a row
        std::string lastFailure;
        bool finished = false;  // --once: read, or out of retries
        bool failed = false;
        bool active = false;  // its pass runs; one at a time on a line
    };
    struct Line {
        std::string port;
        std::unique_ptr<MeterLine> open;  // null while closed
        std::string modem;                // the modem's id, for a modem: port
        bool modemOpen = false;           // its sessions are on the modem hub's line
        bool opening = false;             // the LineOpener has it
        // The line's cycle: from the first pass that starts on the idle line
        // until none of its meters is busy.
        Clock::time_point cycleStart{};
        bool cycling = false;
        std::vector<Slot*> meters;
        int failures = 0;  // opens or passes that failed on the port, in a row
        Clock::time_point retryAt{};
        // No pass starts before: an answer to the last one may still come.
        Clock::time_point quietUntil{};
        std::string lastError;  // logged once per change
    };

    // Makes the lines and the meters' jobs of the configuration.
    void Build();
    // The ids of the modems the configuration's meters sit behind.
    std::vector<std::string> ModemIds() const;
    // Closes every session, then every line.
    void TearDown();
    // Opens a closed line that is due; false while it stays closed.
    bool OpenLine(Line& line, Clock::time_point now);
    // Closes a line whose port failed: its meters' passes end, and it is
    // opened again after the back-off.
    void CloseLine(Line& line, Clock::time_point now, const std::string& why);
    // Takes the ends of the line's passes and starts the passes that are due.
    void PollLine(Line& line, Clock::time_point now);
    void PassEnded(Line& line, Slot& slot, MeterJob::State state, Clock::time_point now);
    // The database's disk is full: the line's passes end, told once, and
    // its meters are tried again after the back-off until there is space.
    void StoreFull(Line& line, const std::string& why, Clock::time_point now);
    // Opens the meter's session on the line and starts its pass.
    void StartPass(Line& line, Slot& slot, Clock::time_point now);
    static bool Busy(const Line& line);
    // A failed attempt: counted, and the meter tried again after the back-off
    // (or, with --once and its retries spent, given up).
    void AttemptFailed(Slot& slot, Clock::time_point now);
    Clock::duration Backoff(int failuresInRow) const;
    // Waits for the plug-in's messages until the next thing is due.
    void Wait(Clock::time_point nextDue, bool anyActive);
    void Reload();
    bool AllFinished() const;
    // The forwarders of the configured sinks and the status server, started
    // after the meters' lines and stopped before them.
    void StartOutputs();
    void StopOutputs();
    // With --once: gives the sinks a moment to take what this run stored.
    // Returns the names of the sinks that could not be reached, or refused
    // what was shipped.
    std::vector<std::string> DrainOutputs();
    // Files that hold secrets and that every user may read.
    void WarnOfOpenSecrets() const;
    // Waits out a database another program holds, and says so once.
    bool KeepWaitingForDatabase(long long waitedMs);
    // Totals of the run, the run's row closed, the summary; the exit status.
    int Finish(bool interrupted);
    // Opens the database and begins the run's row; false when a stop came
    // while another program held the database.
    bool OpenStore();
    // Polls the lines until a stop (true) or, with --once, every meter is done.
    bool Loop();
    void TakeReload();
    void PollLineOrWaitForSpace(Line& line, Clock::time_point now);
    std::string CollectingText() const;
    static bool Opened(const Line& line) { return line.open || line.modemOpen; }
    // Modems that call in (CollectorModems.cpp): the hub started for a
    // [modems] table, each modem line attached while its modem's call lasts.
    // `reloading`: a listener that cannot be had is told, not thrown.
    void StartModems(bool reloading);
    bool OpenModemLine(Line& line, Clock::time_point now);
    // A modem line whose call ended while no pass ran: its sessions leave
    // it, and wait for the next call.
    void CheckModemLine(Line& line, Clock::time_point now);
    void TellModemNews();
    // The line's cycle starts with a pass on the idle line, and ends when
    // none of its meters is busy.
    void CycleStep(Line& line, Clock::time_point now);

    CollectConfig config_;
    CollectOptions options_;
    PluginApi& api_;
    LineOpener opener_;
    CollectOutput out_;
    std::unique_ptr<CollectStore> store_;  // opened by Run
    std::int64_t run_ = 0;
    std::set<std::string> read_;  // meters a pass of this run read
    CollectSignals signals_;
    // The service manager, when there is one: ready, the watchdog, reloads.
    ServiceNotify notify_;
    std::vector<std::unique_ptr<forward::Forwarder>> forwarders_;
    std::unique_ptr<forward::StatusServer> status_;
    std::unique_ptr<ModemHub> modems_;  // with [modems]; kept across reloads
    forward::ChannelCycles cycles_;
    Clock::time_point runStart_{};
    long long lockedMs_ = -1;          // how long the database has been waited for, once told
    bool stoppedWhileLocked_ = false;  // a stop ended a wait for the database
    int diskFullTries_ = 0;            // passes refused by a full disk in a row; 0: not full

    // Lines before meters: the sessions are closed before their ports.
    std::vector<std::unique_ptr<Line>> lines_;
    std::vector<std::unique_ptr<Slot>> slots_;
    RunTotals earlier_;  // stored by the jobs of configurations reloaded since
};

}  // namespace q31::tool::collect
