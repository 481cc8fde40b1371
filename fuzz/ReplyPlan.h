// What the line does to the meter's reply to one packet: when it comes,
// in how many pieces, whether it comes at all, twice, or with one byte
// changed. Decoded from three input bytes, so that a mutation of one byte
// changes one decision.
#pragma once

#include <cstdint>

namespace q31::fuzz {

struct ReplyPlan {
    enum class Timing : std::uint8_t {
        OnTime,        // 1 ms after the packet
        Late,          // later, but before the link's time-out
        AfterTimeOut,  // after the link has given up on the packet
    };

    Timing timing = Timing::OnTime;
    bool drop = false;          // the meter never answers
    bool duplicate = false;     // the whole reply comes a second time right behind the first
    bool corrupt = false;       // one byte of the reply is changed on the line
    std::uint8_t chunks = 1;    // pieces the reply arrives in, 1 ms or 2 ms apart
    std::uint8_t fraction = 0;  // where in its window the delay falls
    std::uint8_t detail = 0;    // corrupted byte, gap before the duplicate

    // A plan that changes nothing: the meter answers correctly and on time.
    bool Clean() const { return timing == Timing::OnTime && !drop && !duplicate && !corrupt && chunks == 1; }

    static ReplyPlan Decode(std::uint8_t flags, std::uint8_t fraction, std::uint8_t detail) {
        ReplyPlan plan;
        switch (flags & 3) {
            case 1: plan.timing = Timing::Late; break;
            case 2: plan.timing = Timing::AfterTimeOut; break;
            default: plan.timing = Timing::OnTime; break;
        }
        plan.drop = (flags & 0x04) != 0;
        plan.duplicate = (flags & 0x08) != 0;
        plan.corrupt = (flags & 0x10) != 0;
        plan.chunks = static_cast<std::uint8_t>(1 + (flags >> 5));
        plan.fraction = fraction;
        plan.detail = detail;
        return plan;
    }

    // How late a reply after the time-out may come, in further time-outs:
    // a meter that answers at all answers within two time-outs of the
    // packet. (A link that tolerates later replies has to wait that much
    // longer after every re-send; raise this to fuzz such a link.)
    static constexpr int kLateTimeOuts = 1;

    // Milliseconds from the end of the packet to the reply's first byte,
    // for a link time-out of `timeOutMs`.
    int DelayMs(int timeOutMs) const {
        switch (timing) {
            case Timing::Late: return 1 + fraction * (timeOutMs > 2 ? timeOutMs - 2 : 0) / 256;
            case Timing::AfterTimeOut: return timeOutMs + 1 + fraction * kLateTimeOuts * (timeOutMs - 2) / 256;
            default: return 1;
        }
    }
};

}  // namespace q31::fuzz
