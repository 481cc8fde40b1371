// One progress bar on stderr for a long read: things done (values fetched,
// addresses asked) out of those planned, and the time left at the pace so far. Draws nothing unless
// enabled (stderr a terminal, no trace on it).
#pragma once

#include <chrono>
#include <cstdint>

namespace q31::tool {

class ProgressBar {
public:
    // `unit` names what is counted; it must outlive the bar.
    ProgressBar(std::uint64_t planned, bool enabled, const char* unit = "values");
    ~ProgressBar();

    // The values fetched so far; redraws at most ten times a second.
    void Update(std::uint64_t fetched);
    // Draws the full bar (when drawn at all) and ends its line.
    void Finish();

private:
    void Draw();

    using Clock = std::chrono::steady_clock;
    std::uint64_t planned_;
    std::uint64_t fetched_ = 0;
    bool enabled_;
    const char* unit_;
    bool drawn_ = false;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_{};
};

}  // namespace q31::tool
