// The meters of one RS-485 line, without the line: a packet in, the answer
// of the meter it is addressed to out; silence for an address nobody has.
//
// Its meters live on a simulated clock that the owner drives (AdvanceTo):
// every full hour each writes an hourly record, every 24th hour a daily one,
// and now and then an error or edit log entry; swaps and resets of the plan
// happen at their moments. Everything written goes into the history. Not
// thread-safe: PtyMeter serialises access to it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "sim/BusPlan.h"
#include "sim/MeterHistory.h"
#include "sim/MeterModel.h"
#include "sim/SimRandom.h"

namespace q31::sim {

class SimBus {
public:
    explicit SimBus(const BusPlan& plan);

    std::size_t Size() const { return meters_.size(); }
    MeterModel& Model(std::size_t index) { return *meters_[index].model; }
    // The meter at `address`; nullptr when the line has none there.
    MeterModel* At(std::uint8_t address);
    // The addresses on the line, in the plan's order.
    std::vector<std::uint8_t> Addresses() const;
    // Whether the meter that `packet` is for repeats it before answering.
    bool Echoes(std::span<const std::uint8_t> packet) const;

    // Only the addressed meter answers; requestNumber 0 when nobody does.
    MeterReply Handle(std::span<const std::uint8_t> packet);

    // Runs the clock to `simSeconds` (never backwards), writing what falls due.
    void AdvanceTo(double simSeconds);
    double Now() const { return now_; }

    // Another meter, with serial number `serial`, takes the place of the one
    // at `address`: fresh memory, its archive in a new era.
    bool Swap(std::uint8_t address, std::uint32_t serial);
    // The meter at `address` keeps only `hourCount` and `dayCount` records:
    // its archive starts again in a new era, as if that many had been written.
    bool Reset(std::uint8_t address, std::uint32_t hourCount, std::uint32_t dayCount);

    MeterHistory& History() { return history_; }
    const MeterHistory& History() const { return history_; }
    // Requests accepted by all meters, swapped-out ones included.
    std::uint64_t RequestCount() const;

private:
    struct Meter {
        BusMeterPlan plan;
        std::unique_ptr<MeterModel> model;
        double nextHourAt = 3600;
        std::uint32_t hours = 0;  // hourly records written while running
        SimRandom random;
        std::array<std::uint32_t, 9> errors{};  // entries written: the device log, then modules 0..7
        std::array<std::uint32_t, 8> edits{};
        int readRun = 0;  // archive-read packets in a row
    };

    Meter* Find(std::uint8_t address);
    void Make(Meter& meter, std::uint32_t era);
    void NoteRings(Meter& meter);
    void Hour(Meter& meter, double at);
    void Log(Meter& meter, HistoryKind kind, int owner, double at);

    std::vector<Meter> meters_;
    std::vector<BusEvent> events_;  // in time order; those done are removed
    int writeDuringReads_;
    double now_ = 0;
    std::uint64_t retiredRequests_ = 0;
    MeterHistory history_;
};

}  // namespace q31::sim
