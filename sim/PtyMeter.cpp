#include "sim/PtyMeter.h"

#include <algorithm>
#include <chrono>

#include "sim/PtyLine.h"
#include "support/Pty.h"

namespace q31::sim {

namespace {

// How long one read waits: bounds how late Stop is noticed.
constexpr int kReadSliceMs = 20;
constexpr int kWriteTimeoutMs = 1000;

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

namespace {

BusPlan BusOfOne(const MeterConfig& config) {
    BusPlan plan;
    plan.meters.push_back({config, {}, false});
    return plan;
}

}  // namespace

PtyMeter::PtyMeter(const MeterConfig& config, const PtyMeterOptions& options) : PtyMeter(options, BusOfOne(config)) {}

PtyMeter::PtyMeter(const PtyMeterOptions& options, const BusPlan& plan)
    : PtyMeter(options, plan, std::make_unique<PtyLine>()) {}

PtyMeter::PtyMeter(const PtyMeterOptions& options, const BusPlan& plan, std::unique_ptr<SimLine> line)
    : line_(std::move(line)),
      bus_(plan),
      clockRate_(plan.clockRate),
      frames_(plan.meters.empty() ? kDefaultMeterAddress : plan.meters.front().meter.address),
      echo_(options.echo),
      replyDelayMs_(options.replyDelayMs),
      idleGapMs_(options.idleGapMs > 0 ? options.idleGapMs : 1),
      wire_(options.wire) {}

PtyMeter::~PtyMeter() { Stop(); }

bool PtyMeter::Start() {
    if (running_.load()) return true;
    if (!line_->Open()) return false;
    line_->Discard();
    frames_.Reset();
    if (clockStart_ == Clock::time_point{}) clockStart_ = Clock::now();
    stopping_.store(false);
    running_.store(true);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void PtyMeter::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_.store(true);
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    running_.store(false);
}

void PtyMeter::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

std::uint64_t PtyMeter::RequestCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bus_.RequestCount();
}

bool PtyMeter::WaitForRequests(std::uint64_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return bus_.RequestCount() >= count; });
}

void PtyMeter::Live() {
    if (clockRate_ <= 0) return;
    const std::chrono::duration<double> real = Clock::now() - clockStart_;
    std::lock_guard<std::mutex> lock(mutex_);
    bus_.AdvanceTo(real.count() * clockRate_);
}

bool PtyMeter::PauseUntil(Clock::time_point when) {
    if (Clock::now() >= when) return !stopping_.load();
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_until(lock, when, [&] { return stopping_.load(); });
}

bool PtyMeter::WritePaced(const std::uint8_t* bytes, std::size_t count, Clock::time_point start) {
    std::size_t written = 0;
    while (written < count) {
        // Everything whose last bit is already over goes at once: a late
        // wake-up never makes the line slower than its speed.
        const auto now = Clock::now();
        std::size_t due = written;
        while (due < count && start + wire_.Time(due + 1) <= now) ++due;
        if (due > written) {
            Write(bytes + written, due - written);
            written = due;
            continue;
        }
        if (!PauseUntil(start + wire_.Time(written + 1))) return false;
    }
    return true;
}

void PtyMeter::Write(const std::uint8_t* bytes, std::size_t count) {
    if (fd_ < 0) return;
    // A client that stopped reading must not hold the bus: its connection
    // goes, and the next one finds the meter.
    if (!PtyWrite(fd_, bytes, count, kWriteTimeoutMs) && line_->Lost()) fd_ = -1;
}

bool PtyMeter::Pause(int ms) {
    if (ms <= 0) return !stopping_.load();
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_.load(); });
}

void PtyMeter::Run() {
    std::uint8_t chunk[512];
    std::int64_t lastByteAt = NowMs();
    while (!stopping_.load()) {
        Live();
        line_->Idle();
        fd_ = line_->Connection(kReadSliceMs);
        if (fd_ < 0) {
            frames_.Reset();
            continue;
        }
        const int n = PtyRead(fd_, chunk, sizeof chunk, kReadSliceMs);
        std::vector<std::vector<std::uint8_t>> packets;
        Clock::time_point heardAt = Clock::now();
        if (n > 0) {
            const auto count = static_cast<std::size_t>(n);
            // The host writes a packet at once; a paced line carries it one
            // byte time after another, behind whatever it still carries.
            const auto onWireFrom = std::max(heardAt, inboundFreeAt_);
            if (wire_.Paced()) {
                heardAt = onWireFrom + wire_.Time(count);
                inboundFreeAt_ = heardAt;
            }
            // Silence is counted from the last byte's end on the wire.
            lastByteAt = std::chrono::duration_cast<std::chrono::milliseconds>(heardAt.time_since_epoch()).count();
            // A line with echo returns what the master sent as it passes,
            // before the meter has even seen the whole packet.
            if (echo_.load()) {
                if (wire_.Paced()) {
                    if (!WritePaced(chunk, count, onWireFrom)) break;
                } else {
                    Write(chunk, count);
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                const std::vector<std::uint8_t> addresses = bus_.Addresses();
                frames_.SetAddresses(addresses);
            }
            packets = frames_.Feed(std::span<const std::uint8_t>(chunk, static_cast<std::size_t>(n)));
        } else if (n == 0) {
            if (frames_.Pending() > 0 && NowMs() - lastByteAt >= idleGapMs_) packets = frames_.Expire();
        } else if (line_->Lost()) {
            // The client went away: what it left half sent is nobody's.
            frames_.Reset();
            fd_ = -1;
        } else {
            // The line is in error (no slave side yet on some systems): do not spin.
            if (!Pause(kReadSliceMs)) break;
        }
        for (const auto& packet : packets) {
            if (stopping_.load()) break;
            Serve(packet, heardAt);
        }
    }
}

void PtyMeter::Serve(const std::vector<std::uint8_t>& packet, Clock::time_point heardAt) {
    MeterReply reply;
    Observer observer;
    bool echo = false;
    Live();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reply = bus_.Handle(packet);
        echo = !echo_.load() && bus_.Echoes(packet);
        observer = observer_;
    }
    changed_.notify_all();
    if (reply.requestNumber == 0) return;
    if (echo) {
        // The meter's own echo comes once the packet is whole, ahead of the answer.
        if (wire_.Paced()) {
            if (!WritePaced(packet.data(), packet.size(), heardAt)) return;
            heardAt += wire_.Time(packet.size());
        } else {
            Write(packet.data(), packet.size());
        }
    }
    if (!reply.bytes.empty()) {
        const int delayMs = replyDelayMs_ + reply.delayMs;
        if (wire_.Paced()) {
            // The answer starts once the request is heard and the meter's
            // own delay is over, and leaves at the line's speed.
            const auto start = heardAt + std::chrono::milliseconds(delayMs);
            if (!PauseUntil(start)) return;
            if (!WritePaced(reply.bytes.data(), reply.bytes.size(), start)) return;
        } else {
            if (!Pause(delayMs)) return;
            Write(reply.bytes.data(), reply.bytes.size());
        }
    }
    // The call breaks with the reply half on its way.
    if (std::any_of(reply.faults.begin(), reply.faults.end(),
                    [](const Fault& f) { return f.kind == FaultKind::Drop; })) {
        line_->HangUp();
        fd_ = -1;
        frames_.Reset();
    }
    if (observer) observer(packet, reply);
}

}  // namespace q31::sim
