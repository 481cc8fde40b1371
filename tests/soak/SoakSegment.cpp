#include "tests/soak/SoakSegment.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <vector>

#include "publicQ31.h"
#include "sim/PtyMeter.h"
#include "sim/SimFrame.h"
#include "support/HostPort.h"
#include "tests/soak/ExpectedContent.h"
#include "tests/soak/RequestMix.h"
#include "tests/soak/SoakHost.h"

namespace q31::soak {

const char* ConfirmName(std::uint8_t confirm) {
    switch (confirm) {
        case Q31_CONFIRM_ALWAYS: return "always";
        case Q31_CONFIRM_AUTO: return "auto";
        default: return "off";
    }
}

namespace {

using Clock = std::chrono::steady_clock;

// What the line's meter did, counted on its own thread.
struct LineCounters {
    std::atomic<std::uint64_t> corrupted{0}, dropped{0}, late{0}, blind{0};
};

bool Has(const sim::MeterReply& reply, sim::FaultKind kind) {
    return std::any_of(reply.faults.begin(), reply.faults.end(),
                       [kind](const sim::Fault& f) { return f.kind == kind; });
}

// A reply the link has no means to reject: changed, yet its checksum holds.
bool ChecksumBlind(const sim::MeterReply& reply) {
    if (Has(reply, sim::FaultKind::BlindCorrupt)) return true;
    if (!Has(reply, sim::FaultKind::Corrupt) || reply.bytes.size() < 5) return false;
    const std::size_t sumAt = reply.bytes.size() - 2;
    return sim::GetU16(&reply.bytes[sumAt]) == sim::Checksum(std::span(reply.bytes).first(sumAt));
}

// Wrong values of one result: each differing value, and each one missing or extra.
std::uint64_t CountWrong(const std::vector<std::uint64_t>& want, const std::vector<std::uint64_t>& got,
                         std::size_t& firstBad) {
    std::uint64_t wrong = 0;
    firstBad = SIZE_MAX;
    const std::size_t common = std::min(want.size(), got.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (want[i] != got[i]) {
            if (firstBad == SIZE_MAX) firstBad = i;
            ++wrong;
        }
    }
    if (want.size() != got.size() && firstBad == SIZE_MAX) firstBad = common;
    return wrong + (std::max(want.size(), got.size()) - common);
}

}  // namespace

SoakFigures SoakSegment::Run() {
    const SegmentSettings& s = settings_;
    SoakFigures f;
    const auto began = Clock::now();

    sim::MeterConfig config;
    config.seed = s.seed;
    const ExpectedContent expected(config);

    sim::PtyMeterOptions options;
    options.echo = s.echo;
    sim::PtyMeter meter(config, options);
    if (!meter.Start()) {
        std::fprintf(stderr, "soak: no pseudo-terminal for the virtual meter\n");
        f.stalled = 1;
        return f;
    }
    LineCounters line;
    meter.SetObserver([&line](std::span<const std::uint8_t>, const sim::MeterReply& reply) {
        if (reply.bytes.empty()) {
            ++line.dropped;
            return;
        }
        if (Has(reply, sim::FaultKind::Corrupt)) ++line.corrupted;
        if (Has(reply, sim::FaultKind::Delay)) ++line.late;
        if (ChecksumBlind(reply)) ++line.blind;
    });
    meter.WithModel([&](sim::MeterModel& m) {
        m.SetFaultRate(sim::FaultKind::Corrupt, s.corruptRate, 2);
        m.SetFaultRate(sim::FaultKind::Silence, s.dropRate);
        m.SetFaultRate(sim::FaultKind::Delay, s.lateRate, s.lateMs);
        m.SetFaultRate(sim::FaultKind::BlindCorrupt, s.blindRate);
    });

    const PortHandle port = OpenHostPort(meter.SlavePath().c_str(), 115200);
    if (!PortUsable(port)) {
        std::fprintf(stderr, "soak: cannot open %s\n", meter.SlavePath().c_str());
        meter.Stop();
        f.stalled = 1;
        return f;
    }
    const TQ31Slot slot = SoakHost::Slot(port, s.echo, s.timeoutMs);
    ::InitSlot(&slot);
    ::SetReadConfirmation(s.confirm);

    SDevIdent dev{};
    dev.DevType = 5120;
    dev.IdWord2 = config.versionWord;
    dev.SerialNumber = config.serialNumber;

    RequestMix mix(s.seed * 0x9E3779B97F4A7C15ull + 7, config);
    int described = 0;
    std::uint64_t lateAtPreviousStart = 0;
    for (std::uint64_t n = 0; n < s.requests; ++n) {
        const SoakRequest r = mix.Next();
        SoakHost::Reset();
        const std::uint64_t blindBefore = line.blind.load();
        const std::uint64_t lateBefore = lateAtPreviousStart;
        lateAtPreviousStart = line.late.load();
        ++f.requests;
        if (RequestMix::Start(r, dev) != 0) {
            ++f.refused;
            continue;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(s.stallMs);
        while (!SoakHost::Finished() && Clock::now() < deadline) ::PumpMessages(10);

        const Delivery& d = SoakHost::Last();
        const std::vector<std::uint64_t> want = expected.For(r);
        std::uint64_t wrong = 0;
        std::size_t firstBad = SIZE_MAX;
        if (!SoakHost::Finished()) {
            ++f.stalled;
        } else if (d.callback) {
            ++f.delivered;
            f.valuesChecked += want.size();
            if (d.from != r.kind) {
                wrong = std::max<std::uint64_t>(want.size(), 1);
                firstBad = 0;
            } else {
                wrong = CountWrong(want, d.values, firstBad);
            }
            if (d.callbacks > 1) wrong += static_cast<std::uint64_t>(d.callbacks - 1);
        } else {
            // The meter on the line is the one asked for, and every start
            // lies within the counters: any message tells of a wrong value.
            ++f.messages;
            wrong = 1;
        }
        if (wrong == 0) continue;

        const bool blindSeen = line.blind.load() != blindBefore;
        const bool lateSeen = line.late.load() != lateBefore;
        ++f.wrongRequests;
        f.wrongValues += wrong;
        (blindSeen ? f.wrongBlind : f.wrongOther) += wrong;
        if (lateSeen) f.wrongAfterLate += wrong;
        if (described++ < s.reportWrong) {
            std::fprintf(stderr, "soak: echo %s, confirm %s, request %llu %s(%u, %u, %u): %llu wrong",
                         s.echo ? "on" : "off", ConfirmName(s.confirm), static_cast<unsigned long long>(n + 1),
                         ExportName(r.kind), r.module, r.block, r.start, static_cast<unsigned long long>(wrong));
            if (d.message) {
                std::fprintf(stderr, ", message \"%s\"", d.text.c_str());
            } else if (d.from != r.kind) {
                std::fprintf(stderr, ", result of %s", ExportName(d.from));
            } else if (firstBad != SIZE_MAX) {
                std::fprintf(stderr, ", %zu values for %zu; first at %zu: got 0x%llx, want 0x%llx", d.values.size(),
                             want.size(), firstBad,
                             static_cast<unsigned long long>(firstBad < d.values.size() ? d.values[firstBad] : 0),
                             static_cast<unsigned long long>(firstBad < want.size() ? want[firstBad] : 0));
            }
            std::fprintf(stderr, "%s%s\n", blindSeen ? " [checksum-blind reply]" : "", lateSeen ? " [late reply]" : "");
        }
    }

    // Let whatever the last request left on the line run out.
    const auto settle = Clock::now() + std::chrono::milliseconds(200);
    while (Clock::now() < settle) ::PumpMessages(10);

    f.packets = meter.RequestCount();
    f.contentChanged = !meter.WithModel([&](sim::MeterModel& m) { return expected.SameMemoryAs(m); });
    meter.SetObserver(nullptr);
    meter.Stop();
    CloseHostPort(port);
    f.corrupted = line.corrupted.load();
    f.dropped = line.dropped.load();
    f.late = line.late.load();
    f.blind = line.blind.load();
    f.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    return f;
}

}  // namespace q31::soak
