#include "tools/q31/collect/ModemRegistration.h"

namespace q31::tool::collect {

ModemRegistration::State ModemRegistration::Feed(std::span<const std::uint8_t> bytes) {
    if (state_ != State::Incomplete) return state_;
    // Copied only up to the bound: a caller that streams without end is refused, not buffered.
    std::size_t used = 0;
    const std::size_t limit = kMaxId + (length_ > 0 ? 0 : end_.size());
    std::size_t idSize = 0;
    bool whole = false;
    while (used < bytes.size() && !whole) {
        if (seen_.size() >= limit) {
            state_ = State::Refused;
            return state_;
        }
        seen_ += static_cast<char>(bytes[used++]);
        if (length_ > 0) {
            whole = seen_.size() == length_;
            idSize = seen_.size();
        } else if (seen_.size() >= end_.size() && seen_.compare(seen_.size() - end_.size(), end_.size(), end_) == 0) {
            whole = true;
            idSize = seen_.size() - end_.size();
        }
    }
    if (!whole) {
        if (seen_.size() >= limit) state_ = State::Refused;
        return state_;
    }
    id_ = seen_.substr(0, idSize);
    // A line ended by CR LF is a line too.
    if (length_ == 0 && end_ == "\n" && !id_.empty() && id_.back() == '\r') id_.pop_back();
    if (id_.empty()) {
        state_ = State::Refused;
        return state_;
    }
    rest_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(used), bytes.end());
    state_ = State::Registered;
    return state_;
}

}  // namespace q31::tool::collect
