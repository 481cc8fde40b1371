#include "fuzz/FakeLine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace q31::fuzz {

namespace {
FakeLine* g_current = nullptr;
// Q31_SESSION_TRACE=1 also tells every write and every arrival on the line.
const bool g_trace = std::getenv("Q31_SESSION_TRACE") != nullptr;
constexpr Micros kMs = 1000;
}  // namespace

FakeLine::FakeLine(MessageLoop& loop, MeterAnswers& meter, SessionInput& input, bool echo, int timeOutMs)
    : loop_(loop), meter_(meter), input_(input), echo_(echo), timeOutMs_(timeOutMs) {
    g_current = this;
    // Enough for any session's traffic in flight, so that the line does not
    // allocate while it runs.
    arrivals_.reserve(64);
    received_.reserve(2048);
}

FakeLine::~FakeLine() {
    if (g_current == this) g_current = nullptr;
}

FakeLine* FakeLine::Current() { return g_current; }

bool FakeLine::Write(PortHandle port, const std::uint8_t* data, std::size_t count) {
    if (!IsPort(port) || (count && !data)) return false;
    Packet& kept = recent_[packets_ % kRecentPackets];
    kept.count = static_cast<std::uint16_t>(std::min(count, kept.bytes.size()));
    std::memcpy(kept.bytes.data(), data, kept.count);
    ++packets_;
    if (g_trace) {
        std::fprintf(stderr, "%8.3f ms  write %zu bytes:", loop_.Now() / 1000.0, count);
        for (std::size_t i = 0; i < count; ++i) std::fprintf(stderr, " %02X", data[i]);
        std::fprintf(stderr, "\n");
    }
    // The echo is on the line before the meter has even seen the packet.
    if (echo_) received_.insert(received_.end(), data, data + count);
    const std::vector<std::uint8_t>& answer = meter_.Answer(std::span<const std::uint8_t>(data, count));
    if (!answer.empty()) PlanReply(answer);
    Service();
    return true;
}

void FakeLine::Purge(PortHandle port) {
    // What has arrived is dropped; what is still on its way is not.
    if (IsPort(port)) received_.clear();
}

std::size_t FakeLine::TakePending(PortHandle port, std::uint8_t* out, std::size_t capacity) {
    if (!IsPort(port)) return 0;
    const std::size_t n = std::min(received_.size(), capacity);
    std::memcpy(out, received_.data(), n);
    received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void FakeLine::PlanReply(const std::vector<std::uint8_t>& answer) {
    std::array<std::uint8_t, kMaxPiece> reply{};
    const std::size_t length = std::min(answer.size(), reply.size());
    std::copy(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(length), reply.begin());
    const Micros now = loop_.Now();
    const std::optional<ReplyPlan> next = input_.NextPlan();
    const ReplyPlan plan = next ? *next : ReplyPlan{};
    if (!plan.Clean()) faultsUntil_ = std::max(faultsUntil_, now);
    if (plan.drop) return;
    if (plan.corrupt) {
        const std::size_t at = plan.detail % length;
        reply[at] = static_cast<std::uint8_t>(reply[at] ^ (1u << (plan.fraction & 7)));
    }
    // The meter has one transmitter: a reply starts only once the meter's
    // earlier replies (a late answer to an earlier send, a second copy) have
    // gone out whole. Pieces of two replies interleaved on the line are
    // nothing a meter can send, and the sum checksum cannot tell their
    // blocks apart: two answers to the same packet, cut differently and
    // merged, pass it with fields swapped.
    const Micros wanted = now + plan.DelayMs(timeOutMs_) * kMs;
    Micros at = std::max(wanted, meterBusyUntil_);
    const bool held = at > wanted;
    Micros lastByte = at;
    const std::size_t pieces = std::min<std::size_t>(plan.chunks, length);
    for (int copy = 0; copy < (plan.duplicate ? 2 : 1); ++copy) {
        std::size_t from = 0;
        for (std::size_t i = 1; i <= pieces; ++i) {
            // Cut points spread over the reply, moved a little by the plan.
            std::size_t to = i == pieces ? length : length * i / pieces + ((plan.fraction >> i) & 3);
            to = std::clamp(to, from, length);
            Schedule(at, reply.data() + from, to - from);
            if (to > from) lastByte = at;
            from = to;
            if (i < pieces) at += (1 + ((plan.detail >> i) & 1)) * kMs;
        }
        // The second copy comes right behind the first, as a meter that
        // answered twice would send it: within 8 ms of the first copy's last
        // byte, counted from that byte and not from the last cut (cuts moved
        // to the reply's end leave empty pieces, each of which would push
        // the copy on by 1 or 2 ms more). A whole copy that starts later
        // than the link's send delay (10 ms) after an exchange that
        // succeeded is, to the link, the answer to its next packet; telling
        // the two apart would make every clean exchange wait, so the model
        // does not send one.
        at = lastByte + (1 + plan.detail % 8) * kMs;
    }
    meterBusyUntil_ = std::max(meterBusyUntil_, lastByte);
    // A reply held back behind a faulty one is late because of that fault.
    if (!plan.Clean() || held) faultsUntil_ = std::max(faultsUntil_, at);
}

void FakeLine::Schedule(Micros at, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        const std::size_t piece = std::min(count, kMaxPiece);
        auto pos = std::upper_bound(arrivals_.begin(), arrivals_.end(), at,
                                    [](Micros t, const Arrival& a) { return t < a.at; });
        Arrival& a = *arrivals_.insert(pos, Arrival{at, static_cast<std::uint16_t>(piece), {}});
        std::memcpy(a.bytes.data(), bytes, piece);
        bytes += piece;
        count -= piece;
    }
}

void FakeLine::StartRead(const void* reader, PortHandle port, std::uint8_t* target, std::size_t count, int* bytesRead,
                         int timeoutMs, MessageLoop& loop, Handover& done) {
    // One read at a time on the line: a new one replaces the old.
    if (read_) AbortRead(read_->reader);
    Read r;
    r.reader = reader;
    r.target = target;
    r.count = count;
    r.bytesRead = bytesRead;
    r.deadline = loop_.Now() + Micros{timeoutMs > 0 ? timeoutMs : 0} * kMs;
    r.loop = &loop;
    r.done = &done;
    read_ = r;
    lastReader_ = reader;
    lastLoop_ = &loop;
    lastDone_ = &done;
    if (!IsPort(port) || count == 0) {
        Finish();  // no port: the read ends at once with nothing
        return;
    }
    Service();
}

void FakeLine::AbortRead(const void* reader) {
    // Bytes the read had taken are gone with it, as on a real port.
    if (read_ && read_->reader == reader) read_.reset();
    // A read that has ended may still have its hand-over queued: after an
    // abort no byte of it reaches anybody.
    if (lastReader_ == reader && lastLoop_ && lastDone_) lastLoop_->Withdraw(*lastDone_);
}

bool FakeLine::Reading(const void* reader) const { return read_ && read_->reader == reader; }

void FakeLine::Service() {
    if (!read_) return;
    Read& r = *read_;
    const std::size_t take = std::min(received_.size(), r.count - r.got);
    if (take) {
        std::memcpy(r.target + r.got, received_.data(), take);
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(take));
        r.got += take;
    }
    if (r.got == r.count || loop_.Now() >= r.deadline) Finish();
}

void FakeLine::Finish() {
    Read r = *read_;
    read_.reset();
    if (r.bytesRead) *r.bytesRead = static_cast<int>(r.got);
    if (r.loop && r.done) r.loop->Post(*r.done);
}

std::optional<Micros> FakeLine::NextEvent() const {
    std::optional<Micros> next;
    if (!arrivals_.empty()) next = arrivals_.front().at;
    if (read_ && (!next || read_->deadline < *next)) next = read_->deadline;
    return next;
}

void FakeLine::Advance() {
    const Micros now = loop_.Now();
    std::size_t n = 0;
    while (n < arrivals_.size() && arrivals_[n].at <= now) {
        if (g_trace) {
            std::fprintf(stderr, "%8.3f ms  %u bytes arrive%s:", now / 1000.0, arrivals_[n].count,
                         read_ ? "" : " (no read waiting)");
            for (std::size_t i = 0; i < arrivals_[n].count; ++i) std::fprintf(stderr, " %02X", arrivals_[n].bytes[i]);
            std::fprintf(stderr, "\n");
        }
        received_.insert(received_.end(), arrivals_[n].bytes.begin(), arrivals_[n].bytes.begin() + arrivals_[n].count);
        ++n;
    }
    arrivals_.erase(arrivals_.begin(), arrivals_.begin() + static_cast<std::ptrdiff_t>(n));
    Service();
}

void FakeLine::PrintRecent() const {
    std::fprintf(stderr, "last packets the link wrote (oldest first), %llu in all:\n",
                 static_cast<unsigned long long>(packets_));
    const std::uint64_t first = packets_ > kRecentPackets ? packets_ - kRecentPackets : 0;
    for (std::uint64_t n = first; n < packets_; ++n) {
        const Packet& p = recent_[n % kRecentPackets];
        std::fprintf(stderr, " ");
        for (std::size_t i = 0; i < p.count; ++i) std::fprintf(stderr, " %02X", p.bytes[i]);
        std::fprintf(stderr, "\n");
    }
}

}  // namespace q31::fuzz
