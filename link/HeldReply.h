// A read's reply held for confirmation: the bytes that the next reply to the
// same packet must repeat before either is taken. Two replies that agree
// byte for byte are the meter's answer; random damage does not strike two
// copies alike.
//
// Pure: no timers, no port.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace q31 {

class HeldReply {
public:
    // Holds `length` bytes of `data` (at most a frame's payload and count).
    void Hold(const std::uint8_t* data, int length) {
        length_ = std::clamp(length, 0, kMaxBytes);
        std::memcpy(data_, data, static_cast<std::size_t>(length_));
        held_ = true;
    }
    // Whether a reply is held and `data` repeats it exactly.
    bool Agrees(const std::uint8_t* data, int length) const {
        return held_ && length == length_ && std::memcmp(data_, data, static_cast<std::size_t>(length)) == 0;
    }
    // What was held may have been a stray: the next reply starts afresh.
    void Drop() { held_ = false; }
    bool Held() const { return held_; }

private:
    static constexpr int kMaxBytes = 256;
    bool held_ = false;
    int length_ = 0;
    std::uint8_t data_[kMaxBytes] = {};
};

}  // namespace q31
