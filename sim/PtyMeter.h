// The virtual meter on a real line: a pseudo-terminal whose slave path a host
// opens as its serial port, or a TCP line (SimLine: a device server's socket,
// a modem that calls in). The line may carry several meters (a SimBus), each
// at its own address; one meter is the bus of one.
//
// One thread reads the line, echoes the bytes when the line echoes, cuts
// packets (FrameAssembler), lets the addressed meter answer them (SimBus,
// MeterModel) and writes the replies, late when a delay is due. With a clock
// rate the meters' time runs on, and they write what falls due between packets. On a paced line (WireTiming) a
// request counts as heard only when its last byte has had its time on the
// wire, and the echo and the replies go out byte by byte at the line's speed.
// The bus is shared with the test or program that owns the PtyMeter; reach
// it through WithBus (or WithModel for the first meter), which hold the lock
// the line thread uses.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "sim/FrameAssembler.h"
#include "sim/MeterModel.h"
#include "sim/PtyMeterOptions.h"
#include "sim/SimBus.h"
#include "sim/SimLine.h"

namespace q31::sim {

class PtyMeter {
public:
    // Called on the line thread after each accepted request, with the packet
    // and the reply as it went out (faults applied). Must not call back into
    // the PtyMeter.
    using Observer = std::function<void(std::span<const std::uint8_t> request, const MeterReply& reply)>;

    explicit PtyMeter(const MeterConfig& config = {}, const PtyMeterOptions& options = {});
    PtyMeter(const PtyMeterOptions& options, const BusPlan& plan);
    // The bus served on `line` in place of a pseudo-terminal.
    PtyMeter(const PtyMeterOptions& options, const BusPlan& plan, std::unique_ptr<SimLine> line);
    ~PtyMeter();
    PtyMeter(const PtyMeter&) = delete;
    PtyMeter& operator=(const PtyMeter&) = delete;

    // Switches the meter on. The first Start opens the pseudo-terminal (or
    // the line's listener); the line stays the same (same slave path) across
    // Stop and Start. Bytes that arrived while the meter was off are thrown
    // away. Returns false when the line cannot be had. Start on a running
    // meter does nothing.
    bool Start();

    // Switches the meter off: the line thread ends within a few tens of ms.
    // The line itself stays open until destruction.
    void Stop();

    bool Running() const { return running_.load(); }

    // The path a host opens, e.g. "/dev/pts/5" (or the line's name,
    // "tcp://127.0.0.1:4001"); empty before the first Start.
    const std::string& SlavePath() const { return line_->Name(); }

    // Runs `f(MeterModel&)` on the first meter under the line thread's lock
    // and returns its result.
    template <class F>
    decltype(auto) WithModel(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::forward<F>(f)(bus_.Model(0));
    }
    // Runs `f(SimBus&)` under the line thread's lock.
    template <class F>
    decltype(auto) WithBus(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::forward<F>(f)(bus_);
    }

    void SetEcho(bool on) { echo_.store(on); }
    void SetObserver(Observer observer);

    std::uint64_t RequestCount();
    // Blocks until the meter has accepted at least `count` requests in all, or
    // `timeoutMs` passed. Returns whether the count was reached.
    bool WaitForRequests(std::uint64_t count, int timeoutMs);

private:
    using Clock = std::chrono::steady_clock;

    void Run();
    // Runs the bus's clock to the present, when its time runs.
    void Live();
    // `heardAt`: when the packet's last byte had been on the wire.
    void Serve(const std::vector<std::uint8_t>& packet, Clock::time_point heardAt);
    // Sleeps `ms` unless Stop comes first; returns false when stopped.
    bool Pause(int ms);
    // Sleeps until `when` unless Stop comes first; returns false when stopped.
    bool PauseUntil(Clock::time_point when);
    // Writes `bytes` as a paced line sends them from `start`: each byte once
    // its time on the wire is over. Returns false when stopped on the way.
    bool WritePaced(const std::uint8_t* bytes, std::size_t count, Clock::time_point start);
    // Writes at once to the connection there is; a connection that takes
    // nothing more is given up.
    void Write(const std::uint8_t* bytes, std::size_t count);

    std::unique_ptr<SimLine> line_;
    int fd_ = -1;       // the line thread's connection; -1 while there is none
    std::mutex mutex_;  // guards bus_, observer_, frames_ (the assembler's addresses)
    std::condition_variable changed_;
    SimBus bus_;
    const double clockRate_;
    Clock::time_point clockStart_{};
    FrameAssembler frames_;
    Observer observer_;
    std::atomic<bool> echo_;
    const int replyDelayMs_;
    int idleGapMs_;
    const WireTiming wire_;
    // Paced line: when the request bytes read so far have all been on the wire.
    Clock::time_point inboundFreeAt_{};
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace q31::sim
