#include "sim/RequestLog.h"

namespace q31::sim {

RequestLog::RequestLog(std::size_t capacity) : slots_(capacity == 0 ? 1 : capacity) {}

void RequestLog::Add(std::uint64_t number, std::span<const std::uint8_t> packet) {
    LoggedRequest& slot = slots_[next_];
    slot.number = number;
    slot.bytes.assign(packet.begin(), packet.end());
    next_ = (next_ + 1) % slots_.size();
    if (size_ < slots_.size()) ++size_;
}

void RequestLog::Clear() {
    next_ = 0;
    size_ = 0;
}

std::vector<LoggedRequest> RequestLog::Entries() const {
    std::vector<LoggedRequest> out;
    out.reserve(size_);
    const std::size_t first = (next_ + slots_.size() - size_) % slots_.size();
    for (std::size_t i = 0; i < size_; ++i) out.push_back(slots_[(first + i) % slots_.size()]);
    return out;
}

std::optional<LoggedRequest> RequestLog::Last() const {
    if (size_ == 0) return std::nullopt;
    return slots_[(next_ + slots_.size() - 1) % slots_.size()];
}

}  // namespace q31::sim
