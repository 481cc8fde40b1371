// The collector's window for people and for monitoring: /metrics in the
// Prometheus text format, and at / one page with every meter's state, the
// sinks' backlog and each meter's last two days of hourly energy.
//
// Each request reads the collector's database on a read-only connection of
// its own; in WAL mode a reader never holds up the collector's writes. The
// server answers on a thread of its own (and a small pool for the requests),
// so a slow client never touches the collection either.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tools/q31/collect/CollectConfig.h"
#include "tools/q31/forward/ForwardStatus.h"

namespace httplib {
class Server;
}

namespace q31::tool::forward {

class StatusServer {
public:
    using SinkStatus = std::function<std::vector<ForwardStatus>()>;

    // `settings.listen` is HOST:PORT ("127.0.0.1:9731", "[::1]:9731"; port 0:
    // any free one); `sinks` tells how far each sink has got, and may be empty.
    StatusServer(const collect::HttpSettings& settings, std::string dbPath, std::string gateway, SinkStatus sinks);
    ~StatusServer();  // stops
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds and starts serving; false with the reason when the address cannot be had.
    bool Start(std::string* error);
    void Stop();
    // The port bound (0 before Start).
    int Port() const { return port_; }

    // The bodies of the two pages, as served. Throw std::runtime_error when
    // the database cannot be read.
    std::string Metrics();
    std::string Page();

private:
    // (meter, serial, epoch, module, series)
    using SeriesKey = std::tuple<std::string, std::int64_t, std::int64_t, std::int64_t, std::string>;
    struct AttemptSums {
        std::int64_t count = 0;
        std::int64_t packets = 0;
        std::int64_t resends = 0;
        std::int64_t rejectedChecksum = 0;
        std::int64_t rejectedOther = 0;
        std::int64_t timeouts = 0;
    };
    class Reading;

    // Brings the running totals up to the database's present state: only
    // what was added since the last request is read again, so a scrape costs
    // the same after a year of collecting as after a day.
    void Catchup(Reading& r);
    void CatchupFrom(Reading& r);
    std::map<std::string, std::int64_t> RecordsByMeter() const;

    collect::HttpSettings spec_;
    std::string dbPath_;
    std::string gateway_;
    SinkStatus sinks_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    std::mutex readMutex_;           // requests read one after the other
    std::int64_t journalSeen_ = -1;  // -1: nothing counted yet
    std::int64_t attemptSeen_ = 0;
    std::string journalMark_;
    std::string attemptMark_;
    std::map<SeriesKey, std::int64_t> seriesRows_;
    std::map<std::pair<std::string, std::string>, AttemptSums> attempts_;  // by meter, outcome
};

}  // namespace q31::tool::forward
