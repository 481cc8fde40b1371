#include "fuzz/SessionDriver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
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

struct Session {
    SessionInput& input;
    FakeLine& line;
    HostRecorder& host;
    ManualClock& clock;
    MessageLoop& loop;
    int index = -1;
    const SessionRequest* request = nullptr;
    std::uint32_t start = 0;
};

[[noreturn]] void Fail(const Session& s, const char* what) {
    std::fprintf(stderr, "\n==== session fuzz finding: %s\n", what);
    std::fprintf(stderr, "echo %s, time-out %d ms, manual time %lld ms, %d request(s)\n", s.input.Echo() ? "on" : "off",
                 s.input.TimeOutMs(), static_cast<long long>(s.clock.Now() / kMs), s.input.RequestCount());
    if (s.request) {
        std::fprintf(stderr, "request %d: %s series %d number %u number2 %u start %u%s%s\n", s.index + 1,
                     SessionRequest::Name(s.request->kind), s.request->series, s.request->number, s.request->number2,
                     s.start, s.request->wrongDevType ? " (wrong device type)" : "",
                     s.request->wrongSerial ? " (wrong serial number)" : "");
    }
    s.line.PrintRecent();
    std::fflush(stderr);
    std::abort();
}

void Compare(const Session& s, const HostDelivery& want, const HostDelivery& got, std::size_t compareBytes) {
    char what[256];
    if (got.code != want.code) {
        std::snprintf(what, sizeof what, "the host got callback %d, expected %d", got.code, want.code);
        Fail(s, what);
    }
    if (want.code == HostDelivery::kMessage && got.text != want.text) {
        std::fprintf(stderr, "message: \"%s\"\nexpected: \"%s\"\n", got.text.c_str(), want.text.c_str());
        Fail(s, "the operator got another message");
    }
    if (want.hasCount && got.count != want.count) {
        std::snprintf(what, sizeof what, "callback %d got the count %u, expected %u", got.code, got.count, want.count);
        Fail(s, what);
    }
    const std::size_t n = std::min(compareBytes, want.bytes.size());
    if (got.bytes.size() < n || (compareBytes == SIZE_MAX && got.bytes.size() != want.bytes.size())) {
        std::snprintf(what, sizeof what, "callback %d got %zu bytes, expected %zu", got.code, got.bytes.size(),
                      want.bytes.size());
        Fail(s, what);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (got.bytes[i] == want.bytes[i]) continue;
        std::fprintf(stderr, "byte %zu of %zu differs; got / expected from there:\n ", i, n);
        for (std::size_t j = i; j < std::min(n, i + 24); ++j) std::fprintf(stderr, " %02X", got.bytes[j]);
        std::fprintf(stderr, "\n ");
        for (std::size_t j = i; j < std::min(n, i + 24); ++j) std::fprintf(stderr, " %02X", want.bytes[j]);
        std::fprintf(stderr, "\n");
        std::snprintf(what, sizeof what, "callback %d handed the host data the meter does not hold", got.code);
        Fail(s, what);
    }
}

// Moves the session on, event by event, until `done` holds, the next event
// lies beyond `limit()`, or nothing is left to happen; false in the latter
// cases (the last one is a finding when `mustEnd`: a request that waits for
// nothing has stalled for good).
template <typename Done, typename Limit>
bool RunUntil(Session& s, Done done, Limit limit, long& passes, bool mustEnd = false) {
    for (;;) {
        s.loop.Tick(0);
        if (done()) return true;
        std::optional<Micros> next = s.loop.NextDue();
        if (const auto line = s.line.NextEvent(); line && (!next || *line < *next)) next = line;
        if (!next) {
            if (mustEnd) Fail(s, "the request stalled: nothing is left to happen and it has not ended");
            return false;
        }
        if (*next > limit()) return false;
        if (*next > s.clock.Now()) s.clock.Set(*next);
        s.line.Advance();
        if (++passes > kMaxPasses) Fail(s, "the session makes no progress in time");
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
    ManualClock clock;
    MessageLoop loop(&clock);
    HostRecorder host;
    FakeLine line(loop, meter_, input, input.Echo(), input.TimeOutMs());
    Session s{input, line, host, clock, loop};
    // The form as a host's process has it, on this session's loop and line,
    // made anew for every session (in the same storage: it is large, and
    // fresh pages for it would cost more than the session).
    alignas(TFXB) static unsigned char storage[sizeof(TFXB)];
    struct Destroy {
        void operator()(TFXB* f) const { f->~TFXB(); }
    };
    std::unique_ptr<TFXB, Destroy> form(new (storage) TFXB(loop));
    const TQ31Slot slot = HostRecorder::Slot(FakeLine::kHandle, input.Echo(), input.TimeOutMs());
    form->InitSlot(&slot);

    const MeterTruth truth(meter_.Model());
    const Micros perPacket = (input.TimeOutMs() + kTimePackageMs + kPacketSlackMs) * kMs;
    std::uint8_t carried[2] = {0, 0};  // the form starts zeroed
    long passes = 0;
    // Q31_SESSION_TRACE=1 tells what each request delivered (for replaying an input by hand).
    static const bool trace = std::getenv("Q31_SESSION_TRACE") != nullptr;

    for (int i = 0; i < input.RequestCount(); ++i) {
        const SessionRequest& r = input.Request(i);
        s.index = i;
        s.request = &r;
        s.start = r.kind == SessionRequest::ArhiveSeries ? truth.ArchiveStart(r) : 0;
        const SDevIdent dev = truth.HostRecord(r);
        const std::size_t before = host.Deliveries().size();
        const std::uint64_t packetsBefore = line.PacketsWritten();
        const Micros started = clock.Now();

        std::uint8_t status = 0xFF;
        switch (r.kind) {
            case SessionRequest::ID: status = form->GetID(); break;
            case SessionRequest::ModuleCount: status = form->GetModuleCount(&dev); break;
            case SessionRequest::ModuleRecord: status = form->GetModuleRecord(&dev, r.number); break;
            case SessionRequest::CurrentData: status = form->GetCurrentData(&dev); break;
            case SessionRequest::AccumulatedData: status = form->GetAccumulatedData(&dev); break;
            case SessionRequest::ArhiveCount: status = form->GetArhiveCount(&dev); break;
            case SessionRequest::ArhiveSeries: status = form->GetArhiveSeries(r.series, &dev, r.number, s.start); break;
            case SessionRequest::ErrorHDev: status = form->GetErrorHDev(&dev); break;
            case SessionRequest::ErrorHModule: status = form->GetErrorHModule(&dev, r.number); break;
            case SessionRequest::ErrorDataDev: status = form->GetErrorDataDev(&dev, r.number); break;
            case SessionRequest::ErrorDataModule: status = form->GetErrorDataModule(&dev, r.number, r.number2); break;
            case SessionRequest::EditHModule: status = form->GetEditHModule(&dev, r.number); break;
            case SessionRequest::EditDataModule: status = form->GetEditDataModule(&dev, r.number); break;
            default: break;
        }
        // Every export but GetID copies the host's record before its checks.
        if (r.kind != SessionRequest::ID) std::copy(MeterTruth::kCarried, MeterTruth::kCarried + 2, carried);

        const std::uint8_t wantStatus = truth.Status(r);
        if (status != wantStatus) {
            char what[96];
            std::snprintf(what, sizeof what, "the export returned %u, expected %u", status, wantStatus);
            Fail(s, what);
        }
        if (status != 0) {
            // A refused request sends nothing and calls nobody.
            const Micros quiet = clock.Now() + 3 * kTimePackageMs * kMs;
            RunUntil(
                s, [] { return false; }, [&] { return quiet; }, passes);
            if (line.PacketsWritten() != packetsBefore) Fail(s, "a refused request sent a packet");
            if (host.Deliveries().size() != before) Fail(s, "a refused request called the host");
            continue;
        }

        std::size_t compareBytes = SIZE_MAX;
        const HostDelivery want = truth.Expected(r, carried, compareBytes);
        // Once the input's faults are spent, every reply is correct and on
        // time: the request must then end within its packets' worth of
        // time-outs, with room for re-sends of what the faults left behind.
        const Micros budget = (2 * truth.Packets(r) + 6) * perPacket;
        const bool ended = RunUntil(
            s, [&] { return host.Deliveries().size() > before; },
            [&] { return std::max(started, line.FaultsActUntil()) + budget; }, passes, true);
        if (!ended) {
            Fail(s, input.PlansLeft() ? "the request has not ended (re-send policy?) while faults were left"
                                      : "the request has not ended although the meter answers correctly and on time");
        }
        Compare(s, want, host.Deliveries()[before], compareBytes);
        if (trace) {
            std::fprintf(stderr, "request %d %s: callback %d, %zu bytes checked, %llu packets, ended at %lld ms\n",
                         i + 1, SessionRequest::Name(r.kind), want.code, std::min(compareBytes, want.bytes.size()),
                         static_cast<unsigned long long>(line.PacketsWritten() - packetsBefore),
                         static_cast<long long>(clock.Now() / kMs));
        }
    }

    // The session is over: whatever is still on the line must not reach the host.
    s.request = nullptr;
    const std::size_t delivered = host.Deliveries().size();
    const Micros settle = std::max(clock.Now(), line.FaultsActUntil()) + 3 * perPacket;
    RunUntil(
        s, [] { return false; }, [&] { return settle; }, passes);
    if (host.Deliveries().size() != delivered) {
        char what[96];
        std::snprintf(what, sizeof what, "the host got callback %d after its last request had ended",
                      host.Deliveries()[delivered].code);
        Fail(s, what);
    }
    form.reset();
}

}  // namespace q31::fuzz
