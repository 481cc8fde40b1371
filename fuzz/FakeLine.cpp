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

FakeLine::FakeLine(MessageLoop& loop, MeterAnswers& meter, PlanSource& plans, bool echo, int timeOutMs, bool outOfOrder)
    : loop_(loop), meter_(meter), plans_(plans), echo_(echo), timeOutMs_(timeOutMs), outOfOrder_(outOfOrder) {
    g_current = this;
    arrivals_.reserve(kMaxArrivals);
    busy_.reserve(kMaxArrivals);
    received_.reserve(kMaxReceived);
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
    if (echo_) Receive(data, count);
    const std::span<const std::uint8_t> packet(data, count);
    const std::vector<std::uint8_t>& answer = meter_.Answer(packet);
    if (!answer.empty()) PlanReply(packet, answer);
    Service();
    return true;
}

std::span<const std::uint8_t> FakeLine::LastPacket() const {
    if (packets_ == 0) return {};
    const Packet& p = recent_[(packets_ - 1) % kRecentPackets];
    return {p.bytes.data(), p.count};
}

void FakeLine::Receive(const std::uint8_t* bytes, std::size_t count) {
    // What does not fit is lost, as on a port whose input nobody reads.
    const std::size_t room = kMaxReceived - std::min(kMaxReceived, received_.size());
    if (count > room) faultsUntil_ = std::max(faultsUntil_, loop_.Now());
    received_.insert(received_.end(), bytes, bytes + std::min(count, room));
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

std::size_t FakeLine::Reshape(const ReplyPlan& plan, std::array<std::uint8_t, kMaxPiece>& reply, std::size_t length) {
    if (plan.shape == ReplyPlan::Shape::Whole || length < 5 || reply[1] + 5u != length) return length;
    const std::size_t payload = reply[1];
    const std::uint8_t further = reply[length - 3];
    std::size_t bytes = payload;
    switch (plan.shape) {
        case ReplyPlan::Shape::Half: bytes = payload / 2; break;
        case ReplyPlan::Shape::OneShort: bytes = payload > 0 ? payload - 1 : 1; break;
        case ReplyPlan::Shape::OneLong: bytes = std::min<std::size_t>(payload + 1, 255); break;
        case ReplyPlan::Shape::Oversize: bytes = plan.oversize; break;
        default: break;
    }
    if (plan.shape == ReplyPlan::Shape::Oversize) {
        // The meter's payload, then bytes of no meaning up to the size, the
        // same for the same plan: more than asked, as a meter may send.
        std::uint32_t x = 0x9E3779B9u ^ (static_cast<std::uint32_t>(plan.fraction) << 8) ^ plan.detail;
        for (std::size_t i = payload; i < bytes; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            reply[2 + i] = static_cast<std::uint8_t>(x >> 24);
        }
    } else {
        // A byte beyond the meter's payload (one long, or one short of an
        // empty payload) is the plan's.
        for (std::size_t i = payload; i < bytes; ++i) reply[2 + i] = plan.detail;
    }
    reply[1] = static_cast<std::uint8_t>(bytes);
    reply[2 + bytes] = further;
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < bytes + 3; ++i) sum = static_cast<std::uint16_t>(sum + reply[i]);
    reply[3 + bytes] = static_cast<std::uint8_t>(sum);
    reply[4 + bytes] = static_cast<std::uint8_t>(sum >> 8);
    return bytes + 5;
}

void FakeLine::PlanReply(std::span<const std::uint8_t> packet, const std::vector<std::uint8_t>& answer) {
    std::array<std::uint8_t, kMaxPiece> reply{};
    std::size_t length = std::min(answer.size(), reply.size());
    std::copy(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(length), reply.begin());
    const Micros now = loop_.Now();
    const std::optional<ReplyPlan> next = plans_.NextPlan(packet);
    const ReplyPlan plan = next ? *next : ReplyPlan{};
    if (!plan.Clean()) faultsUntil_ = std::max(faultsUntil_, now);
    if (plan.drop) return;
    if (arrivals_.size() + (plan.duplicate ? 2u : 1u) * plan.chunks > kMaxArrivals) {
        // The meter's queue is full: it does not hear this packet.
        faultsUntil_ = std::max(faultsUntil_, now);
        return;
    }
    length = Reshape(plan, reply, length);
    const std::size_t pieces = std::min<std::size_t>(plan.chunks, length);
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
    const Micros delay = plan.DelayUs(timeOutMs_);
    const Micros wanted = now + delay;
    // Pieces come 1 or 2 ms apart, a second copy within 8 ms of the first.
    const Micros span = (2 * static_cast<Micros>(pieces) + 9) * kMs * (plan.duplicate ? 2 : 1);
    Micros at = outOfOrder_ ? FreeSlot(wanted, span) : std::max(wanted, meterBusyUntil_);
    const bool held = at > wanted;
    const bool overdue = bound_ > 0 && delay > bound_;
    if (outOfOrder_) {
        // Nothing waits behind a late reply: each is beyond the bound by its own delay.
        if (bound_ > 0 && at - now > bound_) NoteBeyond(at, reply.data(), length);
        std::erase_if(busy_, [now](const Busy& b) { return b.to < now; });
        busy_.push_back({at, at + span});
    } else {
        chainOverdue_ = held ? chainOverdue_ || overdue : overdue;
        if (chainOverdue_ && at - now > bound_) NoteBeyond(at, reply.data(), length);
    }
    Micros lastByte = at;
    for (int copy = 0; copy < (plan.duplicate ? 2 : 1); ++copy) {
        // The bound is the link's for the start of a frame: a second copy
        // that starts past it is an answer beyond the bound, whenever the
        // first began.
        if (copy == 1 && bound_ > 0 && at - now > bound_) NoteBeyond(at, reply.data(), length);
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

Micros FakeLine::FreeSlot(Micros wanted, Micros span) const {
    Micros at = wanted;
    for (bool moved = true; moved;) {
        moved = false;
        for (const Busy& b : busy_) {
            if (at <= b.to && at + span >= b.from) {
                at = b.to + kMs;
                moved = true;
            }
        }
    }
    return at;
}

void FakeLine::NoteBeyond(Micros at, const std::uint8_t* bytes, std::size_t count) {
    Beyond& b = beyond_[beyondCount_++ % kBeyondKept];
    b.at = at;
    b.count = static_cast<std::uint16_t>(std::min(count, b.bytes.size()));
    std::copy(bytes, bytes + b.count, b.bytes.begin());
}

void FakeLine::Displaced(std::span<const std::uint8_t> packet) {
    const std::vector<std::uint8_t>& answer = meter_.Answer(packet);
    if (!answer.empty()) NoteBeyond(loop_.Now(), answer.data(), answer.size());
}

namespace {
// The same answer, or the same cut short or sent longer (a shape the link
// may take for a read): the payload the two share is the same.
bool SameOrReshaped(const std::uint8_t* a, std::size_t aCount, const std::uint8_t* b, std::size_t bCount) {
    if (aCount == bCount && std::equal(a, a + aCount, b)) return true;
    if (aCount < 5 || bCount < 5 || a[0] != b[0] || aCount != a[1] + 5u || bCount != b[1] + 5u) return false;
    const std::size_t shared = std::min<std::size_t>(a[1], b[1]);
    return std::equal(a + 2, a + 2 + shared, b + 2);
}
}  // namespace

bool FakeLine::BeyondBound(const std::uint8_t* bytes, std::size_t count) const {
    const std::size_t kept = std::min(beyondCount_, kBeyondKept);
    for (std::size_t i = 0; i < kept; ++i) {
        const Beyond& b = beyond_[i];
        if (b.at <= loop_.Now() && SameOrReshaped(bytes, count, b.bytes.data(), b.count)) return true;
    }
    return false;
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
        Receive(arrivals_[n].bytes.data(), arrivals_[n].count);
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
