// The last N request packets, oldest first. Fixed capacity: once full, each
// new packet overwrites the oldest, and the slots' buffers are reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/LoggedRequest.h"

namespace q31::sim {

class RequestLog {
public:
    // `capacity` 0 is taken as 1.
    explicit RequestLog(std::size_t capacity);

    void Add(std::uint64_t number, std::span<const std::uint8_t> packet);
    void Clear();

    // Copies of the kept packets, oldest first.
    std::vector<LoggedRequest> Entries() const;
    // The newest packet, if any.
    std::optional<LoggedRequest> Last() const;

    std::size_t Size() const { return size_; }

private:
    std::vector<LoggedRequest> slots_;
    std::size_t next_ = 0;  // slot the next packet goes to
    std::size_t size_ = 0;
};

}  // namespace q31::sim
