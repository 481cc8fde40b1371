// Sessions of the context API against virtual meters on real
// pseudo-terminals, with real timers and short time-outs.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "publicQ31.h"
#include "sim/PtyMeter.h"
#include "support/HostPort.h"
#include "support/PumpMessagesUntil.h"

namespace q31::test {

// What one request's callback saw.
struct Outcome {
    int calls = 0;
    q31_result result{};
    std::vector<std::uint8_t> data;  // the record or values, as bytes
    std::uint32_t count = 0;
    std::uint32_t size = 0;  // value or record size
    std::chrono::steady_clock::time_point at;
    std::function<void()> then;  // run after the callback: the next request
};

inline void Keep(Outcome& o, const q31_result* r, const void* data, std::size_t bytes) {
    ++o.calls;
    o.result = *r;
    o.at = std::chrono::steady_clock::now();
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (p) o.data.assign(p, p + bytes);
    else o.data.clear();
    if (o.then) o.then();
}
template <typename Record>
void Q31_CALL OnRecord(const q31_result* r, const Record* record, void* user) {
    Keep(*static_cast<Outcome*>(user), r, record, sizeof(Record));
}
inline void Q31_CALL OnCount(const q31_result* r, std::uint32_t count, void* user) {
    auto& o = *static_cast<Outcome*>(user);
    o.count = count;
    Keep(o, r, nullptr, 0);
}
inline void Q31_CALL OnSeries(const q31_result* r, const void* values, std::uint32_t count, std::uint32_t size,
                              void* user) {
    auto& o = *static_cast<Outcome*>(user);
    o.count = count;
    o.size = size;
    Keep(o, r, values, std::size_t{count} * size);
}
inline void Q31_CALL OnWords(const q31_result* r, const std::uint16_t* words, std::uint32_t count, void* user) {
    auto& o = *static_cast<Outcome*>(user);
    o.count = count;
    Keep(o, r, words, std::size_t{count} * 2);
}
inline void Q31_CALL OnRecords(const q31_result* r, const std::uint8_t* records, std::uint32_t count,
                               std::uint32_t size, void* user) {
    auto& o = *static_cast<Outcome*>(user);
    o.count = count;
    o.size = size;
    Keep(o, r, records, std::size_t{count} * size);
}

// A virtual meter on its own line.
struct Line {
    sim::MeterConfig config;
    std::unique_ptr<sim::PtyMeter> meter;
    PortHandle port = -1;

    bool Open(const sim::MeterConfig& c, bool echo = false) {
        config = c;
        sim::PtyMeterOptions options;
        options.echo = echo;
        meter = std::make_unique<sim::PtyMeter>(config, options);
        if (!meter->Start()) return false;
        port = OpenHostPort(meter->SlavePath().c_str(), 115200);
        return port > 0;
    }
    ~Line() {
        if (meter) meter->Stop();
        if (port > 0) CloseHostPort(port);
    }
    SDevIdent Ident() const { return SDevIdent{5120, config.versionWord, config.serialNumber, 0, {0, 0}}; }
    // The request packets the meter accepted, oldest first: their command bytes.
    std::vector<std::uint8_t> Commands() {
        std::vector<std::uint8_t> out;
        for (const auto& r : meter->WithModel([](sim::MeterModel& m) { return m.Log().Entries(); }))
            out.push_back(r.bytes.size() > 2 ? r.bytes[2] : 0);
        return out;
    }
};

inline sim::MeterConfig Config(std::uint32_t serial, std::uint64_t seed, std::uint8_t modules, std::uint32_t hours) {
    sim::MeterConfig c;
    c.serialNumber = serial;
    c.seed = seed;
    c.moduleCount = modules;
    c.hourCount = hours;
    return c;
}

inline q31_options Options(int timeoutMs, int sendLimit, bool echo = false) {
    q31_options o;
    q31_options_init(&o);
    o.timeout_ms = timeoutMs;
    o.send_limit = sendLimit;
    o.echo = echo ? 1 : 0;
    return o;
}

// Pumps until `done` holds, at most `ms`.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 10000) { return PumpMessagesUntil(done, ms); }

struct SessionCloser {
    void operator()(q31_session* s) const { q31_session_close(s); }
};
using SessionPtr = std::unique_ptr<q31_session, SessionCloser>;

}  // namespace q31::test
