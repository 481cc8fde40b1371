// Takes a modem's heartbeats out of what it sends, wherever they fall in the
// stream. Bytes that could be the start of a heartbeat are held back until
// the next bytes tell; Flush hands them on when no more come.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace q31::tool::collect {

class HeartbeatFilter {
public:
    explicit HeartbeatFilter(std::vector<std::string> heartbeats);

    // Appends to `out` what of `in` (after what was held) is not a heartbeat.
    void Feed(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);
    // Appends the bytes held back, which no heartbeat completed.
    void Flush(std::vector<std::uint8_t>& out);
    bool Holding() const { return !held_.empty(); }
    // Heartbeats taken out since the start.
    long long Count() const { return count_; }

private:
    // Whether `held_` is a heartbeat's beginning (or a whole one).
    bool Prefix() const;

    std::vector<std::string> heartbeats_;
    std::string held_;
    long long count_ = 0;
};

}  // namespace q31::tool::collect
