// How long the last pass over each channel (a port and the meters on it)
// took: written by the collector's loop as passes end, read by /metrics on
// the server's threads.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace q31::tool::forward {

class ChannelCycles {
public:
    void Set(const std::string& channel, double seconds) {
        std::lock_guard<std::mutex> lock(mutex_);
        seconds_[channel] = seconds;
    }
    // By channel name.
    std::vector<std::pair<std::string, double>> Snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {seconds_.begin(), seconds_.end()};
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, double> seconds_;
};

}  // namespace q31::tool::forward
