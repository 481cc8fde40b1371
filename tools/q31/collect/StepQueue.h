// The requests of one meter's pass still to come, in the order they go on
// the line. A step that learns what must be read next (the series once the
// counters are in, a log's blocks once its head moved) puts those steps
// right behind itself with Next; plans for the end of the pass go in with
// Later.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace q31::tool::collect {

struct Step {
    std::string what;
    // Starts the request: the plug-in's status, or kSkip when there is
    // nothing to ask. Empty: the step only runs `finish` in its turn.
    std::function<int()> start;
    // Runs once the request's data is there.
    std::function<void()> finish;
    int ring = -1;  // a series read: 0 the hourly ring, 1 the daily one

    static constexpr int kSkip = -1;
};

class StepQueue {
public:
    void Later(Step step) { steps_.push_back(std::move(step)); }
    // Before every step queued so far, in the order given.
    void Next(std::vector<Step> steps) {
        for (auto it = steps.rbegin(); it != steps.rend(); ++it) steps_.push_front(std::move(*it));
    }
    void Next(Step step) { steps_.push_front(std::move(step)); }

    bool Empty() const { return steps_.empty(); }
    Step& Front() { return steps_.front(); }
    Step Pop() {
        Step step = std::move(steps_.front());
        steps_.pop_front();
        return step;
    }
    void Clear() { steps_.clear(); }

private:
    std::deque<Step> steps_;
};

}  // namespace q31::tool::collect
