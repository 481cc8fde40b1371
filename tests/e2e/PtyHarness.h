// The plug-in's exports against the virtual meter on a real pseudo-terminal,
// with real timers and short time-outs: the way a host uses the library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "publicQ31.h"
#include "sim/PtyMeter.h"
#include "support/HostPort.h"
#include "support/PumpMessagesUntil.h"
#include "support/RecordingHost.h"

namespace q31::test {

// What the host callbacks saw.
inline RecordingHost g_host;

// A slot record with every callback of g_host installed.
inline TQ31Slot HostSlot(PortHandle port, bool echo, int timeoutMs) { return g_host.Slot(port, echo, timeoutMs); }

class PtyHarness : public ::testing::Test {
protected:
    void Open(bool echo, sim::MeterConfig config = {}) {
        g_host = {};
        ::SetMessageBoxHandler(&RecordingHost::Message);
        sim::PtyMeterOptions options;
        options.echo = echo;
        meter = std::make_unique<sim::PtyMeter>(config, options);
        ASSERT_TRUE(meter->Start());
        port = OpenHostPort(meter->SlavePath().c_str(), 115200);
        ASSERT_TRUE(PortUsable(port));
        TQ31Slot slot = HostSlot(port, echo, 150);
        ::InitSlot(&slot);
    }
    void TearDown() override {
        // Leave nothing in flight for the next test.
        while (::PumpMessages(0) > 0) {
        }
        ::SetMessageBoxHandler(nullptr);
        if (meter) meter->Stop();
        CloseHostPort(port);
    }
    // Pumps until the host log has `count` entries, at most `ms` real time.
    bool WaitCalls(std::size_t entries, int ms = 3000) {
        return PumpMessagesUntil(
            [&] { return std::count(g_host.calls.begin(), g_host.calls.end(), ';') >= static_cast<long>(entries); },
            ms);
    }
    // Runs one request and waits for its single callback.
    template <typename Start>
    void Run(const char* callback, Start start) {
        g_host.calls.clear();
        ASSERT_EQ(start(), 0);
        ASSERT_TRUE(WaitCalls(1));
        EXPECT_EQ(g_host.calls, std::string(callback) + ";");
    }
    // Pumps for `ms` whatever happens.
    void PumpFor(int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) ::PumpMessages(10);
    }
    SDevIdent Ident(std::uint32_t serial = sim::kDefaultSerialNumber) {
        SDevIdent d{};
        d.DevType = 5120;
        d.SerialNumber = serial;
        return d;
    }
    std::uint64_t Requests() { return meter->RequestCount(); }
    // The packets the meter received, oldest first.
    std::vector<std::vector<std::uint8_t>> Packets() {
        std::vector<std::vector<std::uint8_t>> out;
        for (const auto& r : meter->WithModel([](sim::MeterModel& m) { return m.Log().Entries(); }))
            out.push_back(r.bytes);
        return out;
    }
    // Proves that a request has ended, without waiting a fixed time: a GetID
    // goes out behind whatever the request still had to send, and its
    // callback comes behind whatever the request still had to deliver (a
    // result comes one dispatcher tick after its reply; the identification
    // takes a send delay and a whole exchange). Returns false when the
    // identification never came.
    bool FollowWithGetID(int ms = 3000) {
        const std::size_t before = static_cast<std::size_t>(std::count(g_host.calls.begin(), g_host.calls.end(), ';'));
        if (::GetID() != 0) return false;
        return PumpMessagesUntil(
            [&] {
                return g_host.calls.size() >= 3 && g_host.calls.compare(g_host.calls.size() - 3, 3, "id;") == 0 &&
                       static_cast<std::size_t>(std::count(g_host.calls.begin(), g_host.calls.end(), ';')) > before;
            },
            ms);
    }

    std::unique_ptr<sim::PtyMeter> meter;
    PortHandle port = kNoPort;
};

}  // namespace q31::test
