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
// answer's bytes for each place a known debt takes, so copies of several
// earlier answers are told apart from the packet's own.
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
    // strays now, known by its answer's bytes when it was `answered`.
    // Returns the place they took when they are known (the engine keeps
    // that answer's bytes for the place), else -1.
    int NextPacket(bool answered = false) {
        if (own_ == 0) return -1;
        Group* slot = nullptr;
        for (Group& g : groups_)
            if (g.count == 0 && !slot) slot = &g;
        if (!slot) {
            // More debts than places: the newest place takes this one too,
            // under the later bound, its bytes no longer known.
            slot = &groups_.back();
            slot->known = false;
            slot->count += own_;
            slot->until = std::max(slot->until, ownUntil_);
            answered = false;
        } else {
            *slot = Group{own_, ownUntil_, answered};
        }
        own_ = 0;
        ownUntil_ = 0;
        return answered ? static_cast<int>(slot - groups_.data()) : -1;
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
    // Whether copies of the answer kept for `place` may still begin to come
    // at `at`: as long as the sends it answered may be answered, however
    // many copies came (a meter may answer twice).
    bool KnownAt(int place, Micros at) const {
        const Group& g = groups_[static_cast<std::size_t>(place)];
        return g.known && g.count > 0 && at < g.until;
    }
    int Own(Micros now) const { return now < ownUntil_ ? own_ : 0; }
    bool Any(Micros now) const { return Strays(now) + Own(now) > 0; }
    // Until when an owed answer may come.
    Micros Until() const {
        Micros until = own_ > 0 ? ownUntil_ : 0;
        for (const Group& g : groups_)
            if (g.count > 0) until = std::max(until, g.until);
        return until;
    }

    // Places for the debts of earlier packets.
    static constexpr int kGroups = 4;

private:
    struct Group {
        int count = 0;
        Micros until = 0;
        bool known = false;
    };
    int own_ = 0;
    Micros ownUntil_ = 0;
    std::array<Group, kGroups> groups_{};
};

}  // namespace q31
