// The plug-in's exports against the virtual meter on a real pseudo-terminal,
// with real timers and short time-outs: the way a host uses the library.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/HostPort.h"
#include "platform/MessageBox.h"
#include "publicQ31.h"
#include "sim/PtyMeter.h"

namespace q31::test {

// What the host callbacks saw.
struct HostLog {
    std::string calls;
    SDevIdent ident{};
    std::uint32_t moduleCount = 0;
    SModuleRecord module{};
    std::string message;
    std::string caption;
};
inline HostLog g_host;

inline void Q31_CALL HostOnID(SDevIdent* d) {
    g_host.calls += "id;";
    g_host.ident = *d;
}
inline void Q31_CALL HostOnTimeOut() { g_host.calls += "timeout;"; }
inline void Q31_CALL HostOnModuleCount(std::uint32_t n) {
    g_host.calls += "count;";
    g_host.moduleCount = n;
}
inline void Q31_CALL HostOnModuleRecord(SModuleRecord* r) {
    g_host.calls += "module;";
    g_host.module = *r;
}
inline void HostMessage(const char* text, const char* caption, unsigned) {
    g_host.calls += "message;";
    g_host.message = text;
    g_host.caption = caption;
}

class PtyHarness : public ::testing::Test {
protected:
    void Open(bool echo, sim::MeterConfig config = {}) {
        g_host = {};
        ::SetMessageBoxHandler(&HostMessage);
        sim::PtyMeterOptions options;
        options.echo = echo;
        meter = std::make_unique<sim::PtyMeter>(config, options);
        ASSERT_TRUE(meter->Start());
        port = OpenHostPort(meter->SlavePath().c_str(), 115200);
        ASSERT_NE(port, 0);
        TQ31Slot slot{};
        slot.Handle = port;
        slot.EchoFlag = echo ? 0 : 1;
        slot.TimeOut = 150;
        slot.OnID = &HostOnID;
        slot.OnTimeOut = &HostOnTimeOut;
        slot.OnModuleCount = &HostOnModuleCount;
        slot.OnModuleRecord = &HostOnModuleRecord;
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
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::count(g_host.calls.begin(), g_host.calls.end(), ';') < static_cast<long>(entries)) {
            if (std::chrono::steady_clock::now() > end) return false;
            ::PumpMessages(20);
        }
        return true;
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

    std::unique_ptr<sim::PtyMeter> meter;
    PortHandle port = 0;
};

}  // namespace q31::test
