#include "fuzz/SessionDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "fuzz/FakeLine.h"
#include "fuzz/HostRecorder.h"
#include "fuzz/MeterTruth.h"
#include "fuzz/SessionInput.h"
#include "plugin/TFXB.h"

namespace q31::fuzz {

namespace {

constexpr Micros kMs = 1000;
// The form's send delay, and what one packet may cost beyond the time-out
// when every reply is correct (send delay, reply, hand-overs, dispatcher).
constexpr int kTimePackageMs = 10;
constexpr int kPacketSlackMs = 60;
// Loop passes per session beyond which the session is not moving.
constexpr long kMaxPasses = 2'000'000;
// Q31_SESSION_TRACE=1 tells what each request delivered (for replaying an input by hand).
const bool g_trace = std::getenv("Q31_SESSION_TRACE") != nullptr;
// The edit-block callback and the size of a record as the host gets it.
constexpr int kEditDataCallback = 125;
constexpr std::size_t kEditRecordBytes = 16;

const char* ConfirmName(ConfirmMode mode) {
    switch (mode) {
        case ConfirmMode::Always: return "always";
        case ConfirmMode::Auto: return "auto";
        default: return "off";
    }
}

enum class Ending { Right, Wrong, Failed };

// One session: the form as a host's process has it, on its own loop, line
// and manual clock. With `findings` every fault ends the process with a
// report; without, each request's ending is only counted.
class SessionRun {
public:
    SessionRun(MeterAnswers& meter, PlanSource& plans, const LineSetup& setup, bool findings)
        : meter_(meter),
          plans_(plans),
          setup_(setup),
          findings_(findings),
          loop_(&clock_),
          line_(loop_, meter, plans, setup.echo, setup.timeOutMs, setup.outOfOrder),
          truth_(meter.Model()),
          perPacket_((setup.timeOutMs + kTimePackageMs + kPacketSlackMs) * kMs) {
        // Made anew for every session, in the same storage: it is large, and
        // fresh pages for it would cost more than the session.
        form_ = new (storage_) TFXB(loop_);
        const TQ31Slot slot = HostRecorder::Slot(FakeLine::kHandle, setup.echo, setup.timeOutMs);
        form_->InitSlot(&slot);
        form_->SendLimit = setup.sendLimit;
        form_->PublicNetKs_6x61.ReadConfirmation = setup.confirm;
        // The link keeps answers apart within two time-outs of their send
        // (and those held behind a late one, as long as each comes within
        // two time-outs of the one before). An answer later than that is
        // waited out where the link can still see it coming; where it is
        // taken for another packet of its shape, no link without sequence
        // numbers could have told, and a fuzz session excuses the request.
        line_.MarkBeyond(Micros{TPublicNetKs::kQuietTimeOuts} * setup.timeOutMs * kMs);
        form_->PublicNetKs_6x61.OnTrace = TPublicNetKs::TraceEvent::Bind<&SessionRun::OnTrace>(this);
    }
    ~SessionRun() {
        form_->PublicNetKs_6x61.OnTrace = nullptr;
        form_->~TFXB();
    }
    SessionRun(const SessionRun&) = delete;
    SessionRun& operator=(const SessionRun&) = delete;

    // Runs `r` to its end; `giveUp` (0: never) bounds a request that has no
    // result, counted from its start.
    Ending Request(int index, const SessionRequest& r, Micros giveUp);
    // The session is over: whatever is still on the line must not reach the host.
    void Settle();
    const char* What() const { return what_; }

private:
    [[noreturn]] void Fail(const char* what);
    // A fault of the request in progress: the end of the session with
    // `findings`, else noted (the first one) for the count.
    void Fault(const char* what);
    bool Compare(const HostDelivery& want, const HostDelivery& got, std::size_t compareBytes);
    bool CompareBytes(const HostDelivery& want, const HostDelivery& got, std::size_t compareBytes);
    // The request failed: acceptable only where the line misbehaved, and
    // soon after (every later reply was correct and on time).
    void Failed(Micros started);
    void OnTrace(const TQ31TraceEvent& event);
    // Moves the session on, event by event, until `done` holds, the next
    // event lies beyond `limit()`, or nothing is left to happen; false in
    // the latter cases.
    template <typename Done, typename Limit>
    bool RunUntil(Done done, Limit limit);

    MeterAnswers& meter_;
    PlanSource& plans_;
    const LineSetup setup_;
    const bool findings_;
    ManualClock clock_;
    MessageLoop loop_;
    HostRecorder host_;
    FakeLine line_;
    const MeterTruth truth_;
    const Micros perPacket_;
    alignas(TFXB) static unsigned char storage_[sizeof(TFXB)];
    TFXB* form_ = nullptr;
    std::uint8_t carried_[2] = {0, 0};  // the form starts zeroed
    // The edit records as the request found them: a half the meter answers
    // with fewer records leaves the others of the block as they were.
    std::uint8_t editBefore_[sizeof(MeterSession::EditRecords)] = {};
    long passes_ = 0;
    int index_ = -1;
    const SessionRequest* request_ = nullptr;
    std::uint32_t start_ = 0;
    bool faulty_ = false;
    char what_[256] = {};
    // A reply the link accepted that is not the meter's answer to the packet
    // in flight; it counts once the link has kept it (its exchange ended
    // with it), not when the owner threw it back.
    bool frameHeld_ = false;
    char frameWhat_[160] = {};
    // The link took an answer later than the bound it keeps answers apart
    // in: whatever the request ends with is not held against it.
    bool excused_ = false;
};

alignas(TFXB) unsigned char SessionRun::storage_[sizeof(TFXB)];

void SessionRun::Fail(const char* what) {
    std::fprintf(stderr, "\n==== session fuzz finding: %s\n", what);
    std::fprintf(stderr, "echo %s, time-out %d ms, confirmation %s, send limit %d, manual time %lld ms\n",
                 setup_.echo ? "on" : "off", setup_.timeOutMs, ConfirmName(setup_.confirm), setup_.sendLimit,
                 static_cast<long long>(clock_.Now() / kMs));
    if (request_) {
        std::fprintf(stderr, "request %d: %s number %u number2 %u start %u%s%s\n", index_ + 1,
                     SessionRequest::Name(request_->kind), request_->number, request_->number2, start_,
                     request_->wrongDevType ? " (wrong device type)" : "",
                     request_->wrongSerial ? " (wrong serial number)" : "");
    }
    line_.PrintRecent();
    std::fflush(stderr);
    std::abort();
}

void SessionRun::Fault(const char* what) {
    if (findings_) Fail(what);
    if (!faulty_) std::snprintf(what_, sizeof what_, "%s", what);
    faulty_ = true;
}

// Whether a reply the link took carries the meter's answer: byte for byte,
// or in a shape the meter may lawfully send. A read may come back shorter
// (fewer whole values or records) or longer (more than asked) than the
// answer, and then the payload it shares with the answer must agree; which
// lengths a command takes is the link's to check. The identification's
// length byte is the meter's own.
bool SameAnswer(const std::vector<std::uint8_t>& answer, const std::uint8_t* bytes, std::size_t length) {
    if (length == answer.size() && std::equal(answer.begin(), answer.end(), bytes)) return true;
    if (length < 5 || answer.size() < 5 || bytes[0] != answer[0]) return false;
    if (length == 19 && answer.size() == 19) return std::equal(bytes + 2, bytes + 16, answer.begin() + 2);
    if (length != bytes[1] + 5u || answer.size() != answer[1] + 5u) return false;
    const std::size_t shared = std::min<std::size_t>(bytes[1], answer[1]);
    return std::equal(bytes + 2, bytes + 2 + shared, answer.begin() + 2);
}

bool SessionRun::Compare(const HostDelivery& want, const HostDelivery& got, std::size_t compareBytes) {
    char what[256];
    if (got.code != want.code) {
        std::snprintf(what, sizeof what, "the host got callback %d, expected %d", got.code, want.code);
        Fault(what);
        return false;
    }
    if (want.code == HostDelivery::kMessage && got.text != want.text) {
        if (findings_) std::fprintf(stderr, "message: \"%s\"\nexpected: \"%s\"\n", got.text.c_str(), want.text.c_str());
        Fault("the operator got another message");
        return false;
    }
    if (want.hasCount && got.count != want.count) {
        std::snprintf(what, sizeof what, "callback %d got the count %u, expected %u", got.code, got.count, want.count);
        Fault(what);
        return false;
    }
    HostDelivery expected = want;
    if (want.code == kEditDataCallback && got.bytes.size() == want.bytes.size()) {
        // A half the meter answered with fewer records leaves the ones it
        // lacks as they were: zeros (never read, or cleared for the
        // request), or what an earlier read of this or another block left.
        for (std::size_t at = 0; at + kEditRecordBytes <= got.bytes.size() && at < sizeof editBefore_;
             at += kEditRecordBytes) {
            const auto record = got.bytes.begin() + at;
            if (std::all_of(record, record + kEditRecordBytes, [](std::uint8_t b) { return b == 0; }) ||
                std::equal(record, record + kEditRecordBytes, editBefore_ + at))
                std::copy_n(record, kEditRecordBytes, expected.bytes.begin() + at);
        }
    }
    return CompareBytes(expected, got, compareBytes);
}

bool SessionRun::CompareBytes(const HostDelivery& want, const HostDelivery& got, std::size_t compareBytes) {
    char what[256];
    const std::size_t n = std::min(compareBytes, want.bytes.size());
    if (got.bytes.size() < n || (compareBytes == SIZE_MAX && got.bytes.size() != want.bytes.size())) {
        std::snprintf(what, sizeof what, "callback %d got %zu bytes, expected %zu", got.code, got.bytes.size(),
                      want.bytes.size());
        Fault(what);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (got.bytes[i] == want.bytes[i]) continue;
        if (findings_) {
            std::fprintf(stderr, "byte %zu of %zu differs; got / expected from there:\n ", i, n);
            for (std::size_t j = i; j < std::min(n, i + 24); ++j) std::fprintf(stderr, " %02X", got.bytes[j]);
            std::fprintf(stderr, "\n ");
            for (std::size_t j = i; j < std::min(n, i + 24); ++j) std::fprintf(stderr, " %02X", want.bytes[j]);
            std::fprintf(stderr, "\n");
        }
        std::snprintf(what, sizeof what, "callback %d handed the host data the meter does not hold (byte %zu of %zu)",
                      got.code, i, n);
        Fault(what);
        return false;
    }
    return true;
}

void SessionRun::OnTrace(const TQ31TraceEvent& event) {
    if (g_trace && event.kind != Q31_TRACE_READ && event.kind != Q31_TRACE_WRITE) {
        static constexpr const char* kKinds[] = {"?",        "start",   "write",      "read", "accepted", "rejected",
                                                 "time-out", "re-send", "port error", "end",  "discarded"};
        const int k = event.kind >= 0 && event.kind <= Q31_TRACE_DISCARDED ? event.kind : 0;
        std::fprintf(stderr, "%8.3f ms  link: %s reason %d count %d, %d bytes\n",
                     static_cast<double>(event.time_us) / 1000.0, kKinds[k], event.reason, event.count, event.length);
    }
    switch (event.kind) {
        case Q31_TRACE_ACCEPTED: {
            // The reply must be the meter's answer to the packet the link
            // wrote last, byte for byte: a frame of another length than the
            // command asked for, or the answer to another packet, is nothing
            // to take, even where the values it gives happen to be right (a
            // short reply's missing bytes filled with zeros where the meter
            // holds zeros).
            const std::span<const std::uint8_t> packet = line_.LastPacket();
            const std::vector<std::uint8_t>& answer = meter_.Answer(packet);
            const auto length = static_cast<std::size_t>(event.length > 0 ? event.length : 0);
            const bool same = event.bytes && SameAnswer(answer, event.bytes, length);
            // Once a request has taken an answer beyond the bound, the
            // meter's answers behind it are out of step for the rest of the
            // request: what it takes later is excused with it.
            if (!same && findings_ && (excused_ || line_.BeyondBound(event.bytes, length))) {
                if (g_trace) std::fprintf(stderr, "the reply taken is an answer beyond the bound: request excused\n");
                excused_ = true;
                line_.Displaced(packet);
                break;
            }
            if (!same && !frameHeld_) {
                std::snprintf(frameWhat_, sizeof frameWhat_,
                              "the link took a %zu-byte reply for packet %02X %02X %02X whose answer is %zu bytes%s",
                              length, packet.size() > 0 ? packet[0] : 0, packet.size() > 1 ? packet[1] : 0,
                              packet.size() > 2 ? packet[2] : 0, answer.size(),
                              length == answer.size() ? " (other bytes)" : "");
                if (findings_ && event.bytes) {
                    std::fprintf(stderr, "reply taken:");
                    for (std::size_t i = 0; i < std::min<std::size_t>(length, 40); ++i)
                        std::fprintf(stderr, " %02X", event.bytes[i]);
                    std::fprintf(stderr, "%s\n", length > 40 ? " ..." : "");
                }
            }
            frameHeld_ = frameHeld_ || !same;
            break;
        }
        case Q31_TRACE_REJECTED:
            // The owner threw the reply back (it carries no whole value): the
            // packet goes out again, nothing of the reply is kept.
            frameHeld_ = false;
            break;
        case Q31_TRACE_REQUEST_END:
            if (event.reason == Q31_END_ACCEPTED && frameHeld_) {
                frameHeld_ = false;
                Fault(frameWhat_);
            }
            break;
        default: break;
    }
}

template <typename Done, typename Limit>
bool SessionRun::RunUntil(Done done, Limit limit) {
    for (;;) {
        loop_.Tick(0);
        if (done()) return true;
        std::optional<Micros> next = loop_.NextDue();
        if (const auto line = line_.NextEvent(); line && (!next || *line < *next)) next = line;
        if (!next || *next > limit()) return false;
        if (*next > clock_.Now()) clock_.Set(*next);
        line_.Advance();
        if (++passes_ > kMaxPasses) Fail("the session makes no progress in time");
    }
}

void SessionRun::Failed(Micros started) {
    if (!findings_) return;
    if (setup_.sendLimit == 0) Fail("the request ended without a result although its re-sends have no limit");
    // After the last fault every reply is correct and on time: the packet in
    // flight then, and one more, get through.
    const Micros faults = line_.FaultsActUntil();
    if (faults < started || clock_.Now() > faults + 4 * perPacket_)
        Fail("the request failed although the meter answered correctly and on time");
}

Ending SessionRun::Request(int index, const SessionRequest& r, Micros giveUp) {
    index_ = index;
    request_ = &r;
    faulty_ = false;
    excused_ = false;
    what_[0] = 0;
    start_ = IsArchiveSeries(r.kind) ? truth_.ArchiveStart(r) : 0;
    plans_.RequestStarted();
    const SDevIdent dev = truth_.HostRecord(r);
    const std::size_t before = host_.Deliveries().size();
    const std::uint64_t packetsBefore = line_.PacketsWritten();
    const Micros started = clock_.Now();
    TFXB& form = *form_;
    std::memcpy(editBefore_, form.EditRecords, sizeof editBefore_);

    std::uint8_t status = 0xFF;
    if (IsArchiveSeries(r.kind)) status = form.GetArchiveSeries(r.Series(), &dev, r.number, start_);
    switch (r.kind) {
        case RequestId::ID: status = form.GetID(); break;
        case RequestId::ModuleCount: status = form.GetModuleCount(&dev); break;
        case RequestId::ModuleRecord: status = form.GetModuleRecord(&dev, r.number); break;
        case RequestId::CurrentData: status = form.GetCurrentData(&dev); break;
        case RequestId::AccumulatedData: status = form.GetAccumulatedData(&dev); break;
        case RequestId::ArchiveCount: status = form.GetArchiveCount(&dev); break;
        case RequestId::ErrorHDev: status = form.GetErrorHDev(&dev); break;
        case RequestId::ErrorHModule: status = form.GetErrorHModule(&dev, r.number); break;
        case RequestId::ErrorDataDev: status = form.GetErrorDataDev(&dev, r.number); break;
        case RequestId::ErrorDataModule: status = form.GetErrorDataModule(&dev, r.number, r.number2); break;
        case RequestId::EditHModule: status = form.GetEditHModule(&dev, r.number); break;
        case RequestId::EditDataModule: status = form.GetEditDataModule(&dev, r.number); break;
        default: break;
    }
    // Every export but GetID copies the host's record before its checks.
    if (r.kind != RequestId::ID) std::copy(MeterTruth::kCarried, MeterTruth::kCarried + 2, carried_);

    const std::uint8_t wantStatus = truth_.Status(r);
    if (status != wantStatus) {
        char what[96];
        std::snprintf(what, sizeof what, "the export returned %u, expected %u", status, wantStatus);
        Fault(what);
        return Ending::Wrong;
    }
    if (status != 0) {
        // A refused request sends nothing and calls nobody.
        const Micros quiet = clock_.Now() + 3 * kTimePackageMs * kMs;
        RunUntil([] { return false; }, [&] { return quiet; });
        if (line_.PacketsWritten() != packetsBefore) Fault("a refused request sent a packet");
        if (host_.Deliveries().size() != before) Fault("a refused request called the host");
        return faulty_ ? Ending::Wrong : Ending::Right;
    }

    std::size_t compareBytes = SIZE_MAX;
    const HostDelivery want = truth_.Expected(r, carried_, compareBytes);
    // Once the faults are spent, every reply is correct and on time: the
    // request must then end within its packets' worth of time-outs, with
    // room for re-sends of what the faults left behind.
    const Micros budget = (2 * truth_.Packets(r) + 6) * perPacket_;
    auto delivered = [&] { return host_.Deliveries().size() > before; };
    // A request that ends without a delivery has failed (out of sends).
    auto ended = [&] { return delivered() || !form.Busy(); };
    auto limit = [&] {
        const Micros bound = std::max(started, line_.FaultsActUntil()) + budget;
        return giveUp > 0 ? std::min(bound, started + giveUp) : bound;
    };
    if (!RunUntil(ended, limit)) {
        if (findings_ && !excused_) {
            if (!line_.NextEvent() && !loop_.NextDue())
                Fail("the request stalled: nothing is left to happen and it has not ended");
            Fail(plans_.PlansLeft() ? "the request has not ended while faults were left"
                                    : "the request has not ended although the meter answers correctly and on time");
        }
        // A result the dispatcher already has on its way still counts.
        const Micros grace = clock_.Now() + 3 * kTimePackageMs * kMs;
        if (!RunUntil(delivered, [&] { return grace; })) {
            std::snprintf(what_, sizeof what_, "no result %lld ms after the start",
                          static_cast<long long>((clock_.Now() - started) / kMs));
            return Ending::Failed;
        }
    }
    if (!delivered()) {
        // Whatever the link took on the way, nothing of it reached the host.
        if (!excused_) Failed(started);
        std::snprintf(what_, sizeof what_, "ended without a result after %lld ms",
                      static_cast<long long>((clock_.Now() - started) / kMs));
        return Ending::Failed;
    }
    if (excused_) return Ending::Failed;
    Compare(want, host_.Deliveries()[before], compareBytes);
    if (g_trace && findings_) {
        std::fprintf(stderr, "request %d %s: callback %d, %zu bytes checked, %llu packets, ended at %lld ms\n",
                     index + 1, SessionRequest::Name(r.kind), want.code, std::min(compareBytes, want.bytes.size()),
                     static_cast<unsigned long long>(line_.PacketsWritten() - packetsBefore),
                     static_cast<long long>(clock_.Now() / kMs));
    }
    return faulty_ ? Ending::Wrong : Ending::Right;
}

void SessionRun::Settle() {
    request_ = nullptr;
    const std::size_t delivered = host_.Deliveries().size();
    const Micros settle = std::max(clock_.Now(), line_.FaultsActUntil()) + 3 * perPacket_;
    RunUntil([] { return false; }, [&] { return settle; });
    if (host_.Deliveries().size() != delivered) {
        char what[96];
        std::snprintf(what, sizeof what, "the host got callback %d after its last request had ended",
                      host_.Deliveries()[delivered].code);
        Fault(what);
    }
}

}  // namespace

sim::MeterConfig SessionDriver::MeterSetup() {
    sim::MeterConfig config;
    config.hourCount = 1100;  // 20 past the end of the 1080-record ring
    config.dayCount = 560;    // 10 past the end of the 550-record ring
    return config;
}

void SessionDriver::Run(const std::uint8_t* data, std::size_t size) {
    SessionInput input(data, size);
    LineSetup setup;
    setup.echo = input.Echo();
    setup.timeOutMs = input.TimeOutMs();
    setup.confirm = input.Confirm();
    setup.sendLimit = input.SendLimit();
    setup.outOfOrder = input.OutOfOrder();
    SessionRun session(meter_, input, setup, true);
    for (int i = 0; i < input.RequestCount(); ++i) session.Request(i, input.Request(i), 0);
    session.Settle();
}

SessionCounts SessionDriver::Measure(const LineSetup& setup, PlanSource& plans,
                                     std::span<const SessionRequest> requests, int giveUpTimeOuts) {
    SessionCounts counts;
    SessionRun session(meter_, plans, setup, false);
    const Micros giveUp = Micros{giveUpTimeOuts} * setup.timeOutMs * kMs;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Ending ending = session.Request(static_cast<int>(i), requests[i], giveUp);
        if (ending == Ending::Right) ++counts.right;
        if (ending == Ending::Wrong) ++counts.wrong;
        if (ending == Ending::Failed) ++counts.failed;
        if (g_trace && ending != Ending::Right) {
            std::fprintf(stderr, "  request %zu %s: %s, %s\n", i + 1, SessionRequest::Name(requests[i].kind),
                         ending == Ending::Wrong ? "wrong" : "failed", session.What());
        }
    }
    return counts;
}

}  // namespace q31::fuzz
