// Which faults hit which requests.
//
// Faults are scheduled for request numbers (the meter numbers accepted
// requests 1, 2, 3, ...) or drawn at a rate from the plan's own seeded
// generator, so a given seed and request sequence always fail the same way.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/Fault.h"
#include "sim/SimRandom.h"

namespace q31::sim {

class FaultPlan {
public:
    explicit FaultPlan(std::uint64_t seed);

    // `fault` hits requests first .. last (inclusive).
    void Schedule(std::uint64_t first, std::uint64_t last, Fault fault);

    // Each request is hit with `probability` (0 switches the kind's rate off);
    // `param` as in Fault.
    void SetRate(FaultKind kind, double probability, int param = 0);

    // Forgets every schedule and rate; the generator keeps its position.
    void Clear();

    // The faults for request `number`, scheduled ones first. Schedules that
    // lie wholly before `number` are dropped.
    std::vector<Fault> Take(std::uint64_t number);

    // Applies `faults` to `reply` (`framed`: general form with an address and a
    // checksum). Returns the delay in ms to wait before sending.
    int Apply(const std::vector<Fault>& faults, std::vector<std::uint8_t>& reply, bool framed);

private:
    struct Scheduled {
        std::uint64_t first;
        std::uint64_t last;
        Fault fault;
    };
    struct Rate {
        double probability = 0;
        int param = 0;
    };

    SimRandom random_;
    std::vector<Scheduled> scheduled_;
    std::array<Rate, kFaultKindCount> rates_{};
};

}  // namespace q31::sim
