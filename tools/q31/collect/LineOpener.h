// Opens the collector's lines on a few threads of their own: a serial
// server that does not answer holds its opening up to the connection's
// time-out, and the lines that are open meanwhile go on being read. The
// threads are few and fixed, not one per line.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/q31/common/LinePlan.h"
#include "tools/q31/common/MeterLine.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool::collect {

class LineOpener {
public:
    explicit LineOpener(const PluginApi& api, int threads = 4) : api_(api), threadCount_(threads) {}
    // Waits for the openings under way (each ends by its own time-out) and
    // closes what they opened.
    ~LineOpener();
    LineOpener(const LineOpener&) = delete;
    LineOpener& operator=(const LineOpener&) = delete;

    // Has `plan` opened for `key`; nothing while an opening for `key` is under way.
    void Request(const std::string& key, const LinePlan& plan);
    // The line opened for `key` (open or not: its Error() says why), once
    // the opening is over; null while it is under way, or when none was asked for.
    std::unique_ptr<MeterLine> Take(const std::string& key);
    // Forgets every opening: what those under way open is closed again.
    void Clear();

private:
    struct Job {
        std::string key;
        LinePlan plan;
        unsigned generation;
    };

    void Run();

    const PluginApi& api_;
    const int threadCount_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    std::map<std::string, std::unique_ptr<MeterLine>> done_;
    std::map<std::string, unsigned> underWay_;  // by key: the generation asked in
    unsigned generation_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;  // started with the first request
};

}  // namespace q31::tool::collect
