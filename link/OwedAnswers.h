// The answers the meter may still send: every send owes one until a frame
// comes back for it, or until the bound after it has passed. A reply does
// not say which send it answers, so the count is kept apart for the packet
// in flight (its own sends: an answer to any of them is its answer) and for
// the packets before it (strays: an answer to one of them must not be taken
// for the packet in flight).
//
// Pure bookkeeping on the engine's clock: no timers, no port.
#pragma once

#include <algorithm>

#include "runtime/Clock.h"

namespace q31 {

class OwedAnswers {
public:
    // A send of the packet in flight at `at`; its answer may come until `at + bound`.
    void Sent(Micros at, Micros bound) {
        Expire(at);
        // A debt starts afresh: the deadline of answers all paid (sent
        // under a longer time-out, perhaps) holds nothing up.
        if (own_ + strays_ == 0) until_ = 0;
        ++own_;
        until_ = std::max(until_, at + bound);
    }
    // A frame was taken for the packet in flight: it paid one of its sends.
    void Paid() {
        if (own_ > 0) --own_;
    }
    // A frame taken for the packet in flight turned out to answer another
    // (two confirming replies disagreed): it paid a stray, not a send of
    // this packet, whose answer is still to come.
    void WasStray() {
        if (strays_ > 0) --strays_;
        ++own_;
    }
    // A frame that answers another packet came and was read off.
    void StraySeen() {
        if (strays_ > 0) --strays_;
    }
    // The packet in flight was answered late, and what it took may have been
    // a late answer to an earlier send: a send of it stays owed until
    // `until`, whatever was paid.
    void KeepOne(Micros until) {
        own_ = std::max(own_, 1);
        until_ = std::max(until_, until);
    }
    // Bytes arrived while strays were awaited: those behind them may be as
    // late after them, so the wait runs on until `until`.
    void Extend(Micros until) {
        if (own_ + strays_ > 0) until_ = std::max(until_, until);
    }
    // A different packet goes out: what the one before still owes are strays now.
    void NextPacket() {
        strays_ += own_;
        own_ = 0;
    }
    // Past the bound nothing is owed any more.
    void Expire(Micros now) {
        if (now >= until_) {
            own_ = 0;
            strays_ = 0;
        }
    }

    int Strays(Micros now) const { return now < until_ ? strays_ : 0; }
    int Own(Micros now) const { return now < until_ ? own_ : 0; }
    bool Any(Micros now) const { return Strays(now) + Own(now) > 0; }
    // Until when an owed answer may come.
    Micros Until() const { return until_; }

private:
    int own_ = 0;
    int strays_ = 0;
    Micros until_ = 0;
};

}  // namespace q31
