// The running totals behind the status page and /metrics, brought up to the
// database's present state at each request: only what was added since the
// last request is read again, so a scrape costs the same after a year of
// collecting as after a day.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "tools/q31/status/StatusSnapshot.h"

namespace q31::tool {
class SqliteDb;
}

namespace q31::tool::forward {

class StatusModel {
public:
    using SinkStatus = std::function<std::vector<ForwardStatus>()>;

    // `sinks` tells how far each sink has got, and may be empty.
    StatusModel(std::string dbPath, SinkStatus sinks);

    // Reads the database on a read-only connection of its own (`charts`:
    // with each meter's hourly energy). Throws std::runtime_error when the
    // database cannot be read.
    StatusSnapshot Read(bool charts);

private:
    // (meter, serial, epoch, module, series)
    using SeriesKey = std::tuple<std::string, std::int64_t, std::int64_t, std::int64_t, std::string>;

    void Catchup(SqliteDb& db);
    void CatchupSeries(SqliteDb& db);
    void CatchupAttempts(SqliteDb& db);
    void ReadMeters(SqliteDb& db, StatusSnapshot& snapshot) const;
    void ReadValues(SqliteDb& db, std::vector<MeterState>& meters) const;

    std::string dbPath_;
    SinkStatus sinks_;

    std::mutex readMutex_;           // requests read one after the other
    std::int64_t journalSeen_ = -1;  // -1: nothing counted yet
    std::int64_t attemptSeen_ = 0;
    std::string journalMark_;
    std::string attemptMark_;
    std::map<SeriesKey, std::int64_t> seriesRows_;
    std::map<std::pair<std::string, std::string>, AttemptSums> attempts_;  // by meter, outcome
};

}  // namespace q31::tool::forward
