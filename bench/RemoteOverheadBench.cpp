// One meter's hourly ring (the E series of module 1, 1080 values) read over
// the network, against the same read on the pseudo-terminal directly: the
// virtual meter paced at 9600 baud 8N1 on its pseudo-terminal, ser2net 4.3
// in front of it, reached raw (tcp://) and through RFC 2217 (rfc2217://), the
// plug-in opening the port from its URL (q31_port_open) and reading it through
// the context API as a host does. One run of each; the ratios are the network
// line's time over the direct line's. With chardelay=1 ser2net runs as it
// comes (it gathers serial bytes for a few character times before it sends
// them on, at least 1 ms: about 3 ms more on each reply at 9600 baud); with
// chardelay=0 that option is off.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "bench/PacedMeter.h"
#include "publicQ31.h"
#include "support/PumpMessagesUntil.h"
#include "tests/e2e/Ser2netServer.h"

namespace q31::bench {
namespace {

constexpr std::uint32_t kBaud = 9600;
constexpr std::uint32_t kValues = 1080;

struct SeriesDone {
    int status = -1;
    std::uint32_t count = 0;
};

void Q31_CALL OnSeries(const q31_result* r, const void*, uint32_t count, uint32_t, void* user) {
    auto* done = static_cast<SeriesDone*>(user);
    done->count = count;
    done->status = r->status;
}

// The seconds one whole ring takes on `url`, or a negative value when it
// could not be read.
double ReadRing(const std::string& url) {
    Q31PortHandle port = 0;
    if (test::OpenServerPort(url, &port) != Q31_OK) return -1;
    q31_options options;
    ::q31_options_init(&options);
    q31_session* session = ::q31_session_open(port, &options);
    SDevIdent dev{5120, 0x00F0, 310001, 0, {0, 0}};
    SeriesDone done;
    const auto t0 = std::chrono::steady_clock::now();
    const int started = ::q31_get_archive_series(session, &dev, Q31_SERIES_E_HOUR, 1, 0, &OnSeries, &done);
    if (started == Q31_OK) PumpMessagesUntil([&] { return done.status >= 0; }, 120000);
    const auto t1 = std::chrono::steady_clock::now();
    ::q31_session_close(session);
    ::q31_port_close(port);
    if (done.status != Q31_OK || done.count != kValues) return -1;
    return std::chrono::duration<double>(t1 - t0).count();
}

void BM_RemoteOverhead(benchmark::State& state) {
    if (!test::Ser2netServer::Available()) {
        state.SkipWithError("ser2net is not installed");
        return;
    }
    sim::PtyMeter meter(FullRingConfig(), PacedOptions(kBaud, false));
    if (!meter.Start()) {
        state.SkipWithError("cannot start the virtual meter");
        return;
    }
    test::Ser2netServer server(meter.SlavePath(), state.range(0) != 0);
    if (!server.Start()) {
        state.SkipWithError("cannot start ser2net");
        return;
    }
    double direct = 0, raw = 0, telnet = 0;
    for (auto _ : state) {
        direct = ReadRing(meter.SlavePath());
        raw = ReadRing(server.RawUrl());
        telnet = ReadRing(server.TelnetUrl());
    }
    if (direct <= 0 || raw <= 0 || telnet <= 0) {
        state.SkipWithError("a ring could not be read whole");
        return;
    }
    state.counters["direct_s"] = direct;
    state.counters["tcp_s"] = raw;
    state.counters["rfc2217_s"] = telnet;
    state.counters["tcp_ratio"] = raw / direct;
    state.counters["rfc2217_ratio"] = telnet / direct;
}

}  // namespace

BENCHMARK(BM_RemoteOverhead)->Arg(1)->Arg(0)->ArgName("chardelay")->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace q31::bench
