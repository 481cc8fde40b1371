#include "tools/q31/cli/ProgressBar.h"

#include <cstdio>
#include <string>

namespace q31::tool {

ProgressBar::ProgressBar(std::uint64_t planned, bool enabled, const char* unit)
    : planned_(planned), enabled_(enabled), unit_(unit) {}

ProgressBar::~ProgressBar() {
    // A run that failed half-way leaves the error message on a line of its own.
    if (drawn_) std::fputc('\n', stderr);
}

void ProgressBar::Update(std::uint64_t fetched) {
    fetched_ = fetched < planned_ ? fetched : planned_;
    if (!enabled_) return;
    const auto now = Clock::now();
    if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    Draw();
}

void ProgressBar::Finish() {
    fetched_ = planned_;
    if (!enabled_) return;
    Draw();
    std::fputc('\n', stderr);
    drawn_ = false;
}

void ProgressBar::Draw() {
    constexpr int kWidth = 32;
    const int filled = planned_ ? static_cast<int>(fetched_ * kWidth / planned_) : kWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '-');
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    char left[32] = "--:--";
    if (fetched_ > 0) {
        const auto seconds = static_cast<long long>(
            elapsed * static_cast<double>(planned_ - fetched_) / static_cast<double>(fetched_) + 0.5);
        std::snprintf(left, sizeof left, "%lld:%02lld", seconds / 60, seconds % 60);
    }
    std::fprintf(stderr, "\r[%s] %llu of %llu %s, %s left ", bar.c_str(), static_cast<unsigned long long>(fetched_),
                 static_cast<unsigned long long>(planned_), unit_, left);
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace q31::tool
