// The answers the meter may still send: every send owes one until a frame
// comes back for it, or until the bound after it has passed. A reply does
// not say which send it answers, so the count is kept apart for the packet
// in flight (its own sends: an answer to any of them is its answer) and for
// the packets before it (strays: an answer to one of them must not be taken
// for the packet in flight). Each earlier packet's strays keep their own
// bound, so a busy line does not keep an old debt alive.
//
// A stray of a packet that was answered is known by its bytes: the meter
// answers a read the same each time it is asked. The engine keeps the
// bytes of the latest such packet; the strays of older ones are unknown.
//
// Pure bookkeeping on the engine's clock: no timers, no port.
#pragma once

#include <algorithm>
#include <array>

#include "runtime/Clock.h"

namespace q31 {

class OwedAnswers {
public:
    // A send of the packet in flight at `at`; its answer may come until `at + bound`.
    void Sent(Micros at, Micros bound) {
        Expire(at);
        // A debt starts afresh: the deadline of answers all paid (sent
        // under a longer time-out, perhaps) holds nothing up.
        if (own_ == 0) ownUntil_ = 0;
        ++own_;
        ownUntil_ = std::max(ownUntil_, at + bound);
    }
    // A frame was taken for the packet in flight: it paid one of its sends.
    void Paid() {
        if (own_ > 0) --own_;
    }
    // A frame counted as paid for the packet in flight may have answered
    // something else (two confirming replies disagreed, or bytes came after
    // a held one): the send it seemed to pay still owes. Which earlier debt
    // it paid, if any, is not known (a meter may also send the same answer
    // cut short), so none is taken off.
    void Unpaid() { ++own_; }
    // The packet in flight was answered late, and what it took may have been
    // a late answer to an earlier send: a send of it stays owed until
    // `until`, whatever was paid.
    void KeepOne(Micros until) {
        own_ = std::max(own_, 1);
        ownUntil_ = std::max(ownUntil_, until);
    }
    // Bytes arrived while strays were awaited: those behind them may be as
    // late after them, so every debt runs on until `until`.
    void Extend(Micros until) {
        if (own_ > 0) ownUntil_ = std::max(ownUntil_, until);
        for (Group& g : groups_)
            if (g.count > 0) g.until = std::max(g.until, until);
    }
    // A different packet goes out: what the one before still owes are
    // strays now, known by its answer's bytes when it was `answered`. True
    // when they are: the engine then keeps that answer's bytes, and the
    // strays known before are known no longer.
    bool NextPacket(bool answered = false) {
        if (own_ == 0) return false;
        if (answered) {
            for (Group& g : groups_) g.known = false;
            knownUntil_ = ownUntil_;
        }
        Group* slot = nullptr;
        for (Group& g : groups_)
            if (g.count == 0 && !slot) slot = &g;
        if (!slot) {
            // More debts than places: the newest place takes this one too,
            // under the later bound, its bytes no longer known.
            slot = &groups_.back();
            slot->known = false;
            knownUntil_ = 0;
            slot->count += own_;
            slot->until = std::max(slot->until, ownUntil_);
            answered = false;
        } else {
            *slot = Group{own_, ownUntil_, answered};
        }
        own_ = 0;
        ownUntil_ = 0;
        return answered;
    }
    // Past its bound nothing of a debt is owed any more.
    void Expire(Micros now) {
        if (now >= ownUntil_) own_ = 0;
        for (Group& g : groups_)
            if (now >= g.until) g = Group{};
    }

    int Strays(Micros now) const {
        int n = 0;
        for (const Group& g : groups_)
            if (now < g.until) n += g.count;
        return n;
    }
    // Strays whose bytes are known, and those that could be anything.
    int Known(Micros now) const {
        int n = 0;
        for (const Group& g : groups_)
            if (now < g.until && g.known) n += g.count;
        return n;
    }
    int Unknown(Micros now) const { return Strays(now) - Known(now); }
    // Until when copies of the known answer may come: as long as the sends
    // it answered may be answered, however many copies came (a meter may
    // answer twice).
    Micros KnownUntil() const { return knownUntil_; }
    int Own(Micros now) const { return now < ownUntil_ ? own_ : 0; }
    bool Any(Micros now) const { return Strays(now) + Own(now) > 0; }
    // Until when an owed answer may come.
    Micros Until() const {
        Micros until = own_ > 0 ? ownUntil_ : 0;
        for (const Group& g : groups_)
            if (g.count > 0) until = std::max(until, g.until);
        return until;
    }

private:
    struct Group {
        int count = 0;
        Micros until = 0;
        bool known = false;
    };
    static constexpr int kGroups = 4;
    int own_ = 0;
    Micros ownUntil_ = 0;
    Micros knownUntil_ = 0;
    std::array<Group, kGroups> groups_{};
};

}  // namespace q31
