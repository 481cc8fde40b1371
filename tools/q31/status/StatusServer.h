// The collector's window for people and for monitoring: /metrics in the
// Prometheus text format, and at / one page with every meter's state, the
// sinks' backlog and each meter's last two days of hourly energy.
//
// Each request reads the collector's database on a read-only connection of
// its own; in WAL mode a reader never holds up the collector's writes. The
// server answers on a thread of its own (and a small pool for the requests),
// so a slow client never touches the collection either.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/q31/forward/ForwardStatus.h"
#include "tools/q31/status/ChannelCycles.h"
#include "tools/q31/status/HttpSettings.h"
#include "tools/q31/status/StatusModel.h"

namespace httplib {
class Server;
}

namespace q31::tool::forward {

class StatusServer {
public:
    using SinkStatus = StatusModel::SinkStatus;

    // `settings.listen` is HOST:PORT ("127.0.0.1:9731", "[::1]:9731"; port 0:
    // any free one); `sinks` tells how far each sink has got, and may be empty.
    StatusServer(const HttpSettings& settings, std::string dbPath, std::string gateway, SinkStatus sinks);
    ~StatusServer();  // stops
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds and starts serving; false with the reason when the address cannot be had.
    bool Start(std::string* error);
    void Stop();
    // The port bound (0 before Start).
    int Port() const { return port_; }

    // /metrics shows the channels' cycle times from `channels` (which
    // outlives the server); set before Start.
    void SetChannels(const ChannelCycles* channels) { channels_ = channels; }

    // The bodies of the two pages, as served. Throw std::runtime_error when
    // the database cannot be read.
    std::string Metrics();
    std::string Page();

private:
    HttpSettings settings_;
    std::string gateway_;
    StatusModel model_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    const ChannelCycles* channels_ = nullptr;
};

}  // namespace q31::tool::forward
