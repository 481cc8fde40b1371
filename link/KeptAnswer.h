// The frame of an answer taken, kept so that a late copy of it can be known
// by its bytes. A meter answers a read of what it does not change the same
// each time, and may send that answer cut short or longer: a copy is the
// same frame, or (for a reply of the general form) a frame from the same
// address whose payload agrees with the kept one as far as both go.
//
// Pure: no timers, no port.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace q31 {

class KeptAnswer {
public:
    static constexpr int kMaxFrame = 260;

    void Keep(const std::uint8_t* frame, int length) {
        length_ = std::clamp(length, 0, kMaxFrame);
        std::memcpy(frame_, frame, static_cast<std::size_t>(length_));
    }
    void Clear() { length_ = 0; }
    int Length() const { return length_; }

    // Whether `frame` (`length` bytes, its count byte in range) is a copy of
    // the kept answer; `general`: it has the general form
    // [address][L][payload][further byte][sum].
    bool Copied(const std::uint8_t* frame, int length, bool general) const {
        if (length_ == 0) return false;
        if (length == length_ && std::memcmp(frame, frame_, static_cast<std::size_t>(length)) == 0) return true;
        if (!general || length < 5 || frame[1] + 5 != length || length_ < 5 || frame_[1] + 5 != length_) return false;
        const int shared = std::min<int>(frame[1], frame_[1]);
        return frame[0] == frame_[0] && shared > 0 &&
               std::memcmp(frame + 2, frame_ + 2, static_cast<std::size_t>(shared)) == 0;
    }

private:
    int length_ = 0;
    std::uint8_t frame_[kMaxFrame] = {};
};

}  // namespace q31
