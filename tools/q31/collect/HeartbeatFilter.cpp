#include "tools/q31/collect/HeartbeatFilter.h"

#include <algorithm>

namespace q31::tool::collect {

HeartbeatFilter::HeartbeatFilter(std::vector<std::string> heartbeats) : heartbeats_(std::move(heartbeats)) {
    // An empty heartbeat would match everywhere and nothing would pass.
    std::erase(heartbeats_, std::string());
}

bool HeartbeatFilter::Prefix() const {
    return std::any_of(heartbeats_.begin(), heartbeats_.end(),
                       [&](const std::string& h) { return h.size() >= held_.size() && h.starts_with(held_); });
}

void HeartbeatFilter::Feed(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
    if (heartbeats_.empty()) {
        out.insert(out.end(), in.begin(), in.end());
        return;
    }
    for (const std::uint8_t b : in) {
        held_ += static_cast<char>(b);
        // The held bytes are no heartbeat's start: the oldest goes on, and
        // the rest may still start one.
        while (!held_.empty() && !Prefix()) {
            out.push_back(static_cast<std::uint8_t>(held_.front()));
            held_.erase(0, 1);
        }
        if (std::find(heartbeats_.begin(), heartbeats_.end(), held_) != heartbeats_.end()) {
            held_.clear();
            ++count_;
        }
    }
}

void HeartbeatFilter::Flush(std::vector<std::uint8_t>& out) {
    out.insert(out.end(), held_.begin(), held_.end());
    held_.clear();
}

}  // namespace q31::tool::collect
