// What the line does to the meter's reply to one packet: when it comes,
// in how many pieces, whether it comes at all, twice, with one byte
// changed, or as a well-formed frame of another length than the command
// asked for. Decoded from three input bytes, so that a mutation of one byte
// changes one decision.
#pragma once

#include <cstdint>

#include "runtime/Clock.h"

namespace q31::fuzz {

struct ReplyPlan {
    enum class Timing : std::uint8_t {
        OnTime,        // 1 ms after the packet
        Late,          // later, but before the link's time-out
        AfterTimeOut,  // after the link has given up on the packet, within two time-outs of it
        Overdue,       // 2 to 10 time-outs after the packet: later than the link waits for it
        Exact,         // `exactUs` after the packet (scripted lines; no input decodes to it)
    };
    // A well-formed frame (right address, right checksum) whose payload is
    // not the one the command asked for. Only replies of the general form
    // [master][L][payload][further][sum] are reshaped.
    enum class Shape : std::uint8_t {
        Whole,     // the meter's reply as it is
        Half,      // the first half of the payload
        OneShort,  // the payload less its last byte
        OneLong,   // the payload and one byte more
        Oversize,  // `oversize` payload bytes: the meter's payload, then bytes of no meaning
    };

    Timing timing = Timing::OnTime;
    Shape shape = Shape::Whole;
    bool drop = false;            // the meter never answers
    bool duplicate = false;       // the whole reply comes a second time right behind the first
    bool corrupt = false;         // one byte of the reply is changed on the line
    std::uint8_t chunks = 1;      // pieces the reply arrives in, 1 ms or 2 ms apart
    std::uint8_t fraction = 0;    // where in its window the delay falls
    std::uint8_t detail = 0;      // corrupted byte, gap before the duplicate, the bytes of a reshaped frame
    std::uint8_t oversize = 252;  // payload of an Oversize frame: the most the link takes in
    Micros exactUs = 0;           // Timing::Exact

    // A plan that changes nothing: the meter answers correctly and on time.
    bool Clean() const {
        return timing == Timing::OnTime && shape == Shape::Whole && !drop && !duplicate && !corrupt && chunks == 1;
    }

    // flags: bits 0-1 timing (3 is Overdue), bit 2 drop, bit 3 duplicate,
    // bit 4 corrupt, bits 5-7 chunks - 1. Drop and corrupt together (which
    // would only drop) make a reshaped frame instead: bits 5-6 pick its
    // shape (half, one short, one long, oversize), bit 7 two pieces or one.
    static ReplyPlan Decode(std::uint8_t flags, std::uint8_t fraction, std::uint8_t detail) {
        ReplyPlan plan;
        plan.timing = static_cast<Timing>(flags & 3);
        plan.duplicate = (flags & 0x08) != 0;
        plan.fraction = fraction;
        plan.detail = detail;
        if ((flags & 0x14) == 0x14) {
            plan.shape = static_cast<Shape>(1 + ((flags >> 5) & 3));
            plan.chunks = static_cast<std::uint8_t>(1 + (flags >> 7));
            return plan;
        }
        plan.drop = (flags & 0x04) != 0;
        plan.corrupt = (flags & 0x10) != 0;
        plan.chunks = static_cast<std::uint8_t>(1 + (flags >> 5));
        return plan;
    }

    // How late a reply after the time-out may come, in further time-outs:
    // a meter that answers at all answers within two time-outs of the
    // packet, as the link expects. Overdue replies go past that, up to
    // kOverdueTimeOuts, as a meter that has stalled does.
    static constexpr int kLateTimeOuts = 1;
    static constexpr int kOverdueTimeOuts = 10;

    // Microseconds from the end of the packet to the reply's first byte,
    // for a link time-out of `timeOutMs`.
    Micros DelayUs(int timeOutMs) const {
        constexpr Micros kMs = 1000;
        const Micros t = timeOutMs;
        switch (timing) {
            case Timing::Late: return (1 + fraction * (t > 2 ? t - 2 : 0) / 256) * kMs;
            case Timing::AfterTimeOut: return (t + 1 + fraction * kLateTimeOuts * (t - 2) / 256) * kMs;
            case Timing::Overdue: return (2 * t + 1 + fraction * (kOverdueTimeOuts - 2) * t / 256) * kMs;
            case Timing::Exact: return exactUs > 0 ? exactUs : 0;
            default: return kMs;
        }
    }
};

}  // namespace q31::fuzz
