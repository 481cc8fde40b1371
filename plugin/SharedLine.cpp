#include "plugin/SharedLine.h"

namespace q31 {

SharedLine::SharedLine(MessageLoop& loop) : quietTimer_(loop, kQuietPollMs, false) {
    quietTimer_.OnTimer = Delegate<void()>::Bind<&SharedLine::PollQuiet>(this);
}

bool SharedLine::Take(LineTurn& turn) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (holder_ == &turn || turn.queued_) return holder_ == &turn;
    // The turn whose answers the line waits out may go again when nobody
    // waits: its own link waits them out as it does on a line of its own.
    const bool ownQuiet = quiet_ == &turn && !first_;
    if (!holder_ && (!quiet_ || ownQuiet)) {
        holder_ = &turn;
        quiet_ = nullptr;
        lock.unlock();
        if (ownQuiet) quietTimer_.SetEnabled(false);
        return true;
    }
    turn.next_ = nullptr;
    turn.queued_ = true;
    if (last_) last_->next_ = &turn;
    else first_ = &turn;
    last_ = &turn;
    return false;
}

LineTurn* SharedLine::PopFirst() {
    LineTurn* const next = first_;
    if (next) {
        first_ = next->next_;
        if (!first_) last_ = nullptr;
        next->next_ = nullptr;
        next->queued_ = false;
    }
    return next;
}

void SharedLine::Leave(LineTurn& turn) {
    // Asked before the lock: the answer comes from the turn's own link.
    const bool unsettled = turn.Unsettled && turn.Unsettled();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (holder_ != &turn) {
            if (turn.queued_) {
                LineTurn* before = nullptr;
                for (LineTurn* at = first_; at != &turn; at = at->next_) before = at;
                (before ? before->next_ : first_) = turn.next_;
                if (last_ == &turn) last_ = before;
                turn.next_ = nullptr;
                turn.queued_ = false;
            }
            return;
        }
        holder_ = nullptr;
        if (unsettled) quiet_ = &turn;
    }
    if (unsettled) quietTimer_.SetEnabled(true);
    else HandOn();
}

void SharedLine::Close(LineTurn& turn) {
    Leave(turn);
    bool wasQuiet = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (quiet_ == &turn) {
            quiet_ = nullptr;
            wasQuiet = true;
        }
    }
    if (wasQuiet) {
        quietTimer_.SetEnabled(false);
        HandOn();
    }
}

void SharedLine::PollQuiet() {
    LineTurn* quiet;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quiet = quiet_;
    }
    if (quiet && quiet->Unsettled && quiet->Unsettled()) return;
    quietTimer_.SetEnabled(false);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quiet_ = nullptr;
    }
    HandOn();
}

void SharedLine::HandOn() {
    LineTurn* next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (holder_ || quiet_) return;
        next = PopFirst();
        holder_ = next;
    }
    if (next && next->OnTurn) next->OnTurn();
}

}  // namespace q31
