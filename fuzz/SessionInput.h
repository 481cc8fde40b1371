// The fuzz input of one session, read as:
//   byte 0          line settings: bit 0 echo, bits 1-2 the link time-out,
//                   bits 3-4 how many requests follow (1 to 4), bits 5-6
//                   read confirmation (off, always, auto, off), bit 7 the
//                   context API's send limit instead of the slot API's
//                   unlimited re-sends
//   5 bytes each    the requests: kind, number, number2, archive start, flags
//   3 bytes each    the rest: one reply plan per packet the link sends
// Missing bytes read as 0 (GetID, a clean reply), so every input is a
// session, and once the plans run out the meter answers correctly and on time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz/PlanSource.h"
#include "fuzz/ReplyPlan.h"
#include "fuzz/SessionRequest.h"
#include "link/ConfirmMode.h"

namespace q31::fuzz {

class SessionInput final : public PlanSource {
public:
    static constexpr int kMaxRequests = 4;
    static constexpr int kTimeOuts[4] = {50, 100, 250, 1000};
    static constexpr ConfirmMode kConfirm[4] = {ConfirmMode::Off, ConfirmMode::Always, ConfirmMode::Auto,
                                                ConfirmMode::Off};

    SessionInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        const std::uint8_t line = At(0);
        echo_ = (line & 1) != 0;
        timeOutMs_ = kTimeOuts[(line >> 1) & 3];
        requests_ = 1 + ((line >> 3) & 3);
        confirm_ = kConfirm[(line >> 5) & 3];
        sendLimit_ = (line & 0x80) != 0 ? Q31_DEFAULT_SEND_LIMIT : 0;
        for (int i = 0; i < requests_; ++i) request_[i] = DecodeRequest(1 + 5 * static_cast<std::size_t>(i));
        next_ = 1 + 5 * static_cast<std::size_t>(requests_);
    }

    bool Echo() const { return echo_; }
    int TimeOutMs() const { return timeOutMs_; }
    int RequestCount() const { return requests_; }
    ConfirmMode Confirm() const { return confirm_; }
    // Re-sends of one packet before a request fails; 0: no limit.
    int SendLimit() const { return sendLimit_; }
    // The meter (or a gateway in front of it) may answer a re-send before
    // the late answer to the first send: bit 0 of the first request's flags.
    bool OutOfOrder() const { return (At(5) & 1) != 0; }
    const SessionRequest& Request(int i) const { return request_[i]; }

    // The plan for the next packet; none once the input is used up.
    std::optional<ReplyPlan> NextPlan(std::span<const std::uint8_t>) override {
        if (next_ >= size_) return std::nullopt;
        const ReplyPlan plan = ReplyPlan::Decode(At(next_), At(next_ + 1), At(next_ + 2));
        next_ += 3;
        return plan;
    }
    bool PlansLeft() const override { return next_ < size_; }

private:
    std::uint8_t At(std::size_t i) const { return i < size_ ? data_[i] : 0; }

    SessionRequest DecodeRequest(std::size_t at) const {
        SessionRequest r;
        r.kind = static_cast<RequestId>(At(at) % static_cast<int>(RequestId::Count));
        // 0 to 9: every accepted number and one refused on each side.
        r.number = static_cast<std::uint8_t>(At(at + 1) % 10);
        r.number2 = static_cast<std::uint8_t>(At(at + 2) % 10);
        r.startBack = At(at + 3);
        const std::uint8_t flags = At(at + 4);
        r.wrongDevType = (flags & 0x30) == 0x30;
        r.wrongSerial = (flags & 0xC0) == 0xC0;
        return r;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    bool echo_ = false;
    int timeOutMs_ = 100;
    int requests_ = 1;
    ConfirmMode confirm_ = ConfirmMode::Off;
    int sendLimit_ = 0;
    SessionRequest request_[kMaxRequests];
    std::size_t next_ = 0;
};

}  // namespace q31::fuzz
