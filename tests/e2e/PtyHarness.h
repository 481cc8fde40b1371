// The plug-in's exports against the virtual meter on a real pseudo-terminal,
// with real timers and short time-outs: the way a host uses the library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/HostPort.h"
#include "platform/MessageBox.h"
#include "publicQ31.h"
#include "sim/PtyMeter.h"

namespace q31::test {

// What the host callbacks saw.
struct HostLog {
    std::string calls;  // "name;" per callback, in order
    SDevIdent ident{};
    std::uint32_t moduleCount = 0;
    SModuleRecord module{};
    SCurrentData current{};
    SAccumulatedData accumulated{};
    SArhiveCount counters{};
    std::vector<std::int32_t> values32;
    std::vector<std::int64_t> values64;
    std::uint32_t count = 0;          // the count argument of the last callback that has one
    const void* pointer = nullptr;    // the pointer argument of the last callback
    std::vector<std::uint16_t> words; // log heads
    std::vector<std::uint8_t> records;
    std::string message;
    std::string caption;
};
inline HostLog g_host;

inline void Q31_CALL HostOnID(SDevIdent* d) {
    g_host.calls += "id;";
    g_host.ident = *d;
    g_host.pointer = d;
}
inline void Q31_CALL HostOnTimeOut() { g_host.calls += "timeout;"; }
inline void Q31_CALL HostOnModuleCount(std::uint32_t n) {
    g_host.calls += "count;";
    g_host.moduleCount = n;
}
inline void Q31_CALL HostOnModuleRecord(SModuleRecord* r) {
    g_host.calls += "module;";
    g_host.module = *r;
    g_host.pointer = r;
}
inline void Q31_CALL HostOnCurrentData(SCurrentData* r) {
    g_host.calls += "current;";
    g_host.current = *r;
    g_host.pointer = r;
}
inline void Q31_CALL HostOnAccumulatedData(SAccumulatedData* r) {
    g_host.calls += "accumulated;";
    g_host.accumulated = *r;
    g_host.pointer = r;
}
inline void Q31_CALL HostOnArhiveCount(SArhiveCount* r) {
    g_host.calls += "counters;";
    g_host.counters = *r;
    g_host.pointer = r;
}
// The archive callbacks: the count travels in the low 16 bits.
template <const char* Name, typename T>
void Q31_CALL HostOnArhive(T* values, std::uint32_t count) {
    g_host.calls += std::string(Name) + ";";
    g_host.count = count;
    g_host.pointer = values;
    auto& kept = [&]() -> std::vector<T>& {
        if constexpr (sizeof(T) == 4) return g_host.values32;
        else return g_host.values64;
    }();
    kept.assign(values, values + (count & 0xFFFF));
}
template <const char* Name>
void Q31_CALL HostOnLogWords(std::uint16_t* words, std::uint32_t count) {
    g_host.calls += std::string(Name) + ";";
    g_host.count = count;
    g_host.pointer = words;
    g_host.words.assign(words, words + (count <= 8 ? count : 8));
}
template <const char* Name, std::size_t RecordSize>
void Q31_CALL HostOnLogRecords(std::uint8_t* records, std::uint32_t count) {
    g_host.calls += std::string(Name) + ";";
    g_host.count = count;
    g_host.pointer = records;
    g_host.records.assign(records, records + RecordSize * (count <= 16 ? count : 16));
}
inline void Q31_CALL HostOnEditHModule(std::uint16_t* word) {
    g_host.calls += "edithead;";
    g_host.pointer = word;
    g_host.words.assign(word, word + 1);
}
inline void HostMessage(const char* text, const char* caption, unsigned) {
    g_host.calls += "message;";
    g_host.message = text;
    g_host.caption = caption;
}

// Callback names as they appear in HostLog::calls.
inline constexpr char kTimeHour[] = "time_hour", kStopHour[] = "stop_hour", kTHour[] = "t_hour",
                      kUHour[] = "u_hour", kMHour[] = "m_hour", kEHour[] = "e_hour", kTimeDay[] = "time_day",
                      kStopDay[] = "stop_day", kTDay[] = "t_day", kUDay[] = "u_day", kMDay[] = "m_day",
                      kEDay[] = "e_day", kErrorHDev[] = "errorhdev", kErrorHModule[] = "errorhmodule",
                      kErrorDataDev[] = "errordatadev", kErrorDataModule[] = "errordatamodule",
                      kEditDataModule[] = "editdatamodule";

// A slot record with every callback of HostLog installed.
inline TQ31Slot HostSlot(PortHandle port, bool echo, int timeoutMs) {
    TQ31Slot slot{};
    slot.Handle = port;
    slot.EchoFlag = echo ? 0 : 1;
    slot.TimeOut = timeoutMs;
    slot.OnID = &HostOnID;
    slot.OnTimeOut = &HostOnTimeOut;
    slot.OnModuleCount = &HostOnModuleCount;
    slot.OnModuleRecord = &HostOnModuleRecord;
    slot.OnCurrentData = &HostOnCurrentData;
    slot.OnAccumulatedData = &HostOnAccumulatedData;
    slot.OnArhiveCount = &HostOnArhiveCount;
    slot.OnArhiveTime_Hour = &HostOnArhive<kTimeHour, std::int32_t>;
    slot.OnArhiveStop_Hour = &HostOnArhive<kStopHour, std::int32_t>;
    slot.OnArhiveT_Hour = &HostOnArhive<kTHour, std::int32_t>;
    slot.OnArhiveU_Hour = &HostOnArhive<kUHour, std::int64_t>;
    slot.OnArhiveM_Hour = &HostOnArhive<kMHour, std::int64_t>;
    slot.OnArhiveE_Hour = &HostOnArhive<kEHour, std::int64_t>;
    slot.OnArhiveTime_Day = &HostOnArhive<kTimeDay, std::int32_t>;
    slot.OnArhiveStop_Day = &HostOnArhive<kStopDay, std::int32_t>;
    slot.OnArhiveT_Day = &HostOnArhive<kTDay, std::int32_t>;
    slot.OnArhiveU_Day = &HostOnArhive<kUDay, std::int64_t>;
    slot.OnArhiveM_Day = &HostOnArhive<kMDay, std::int64_t>;
    slot.OnArhiveE_Day = &HostOnArhive<kEDay, std::int64_t>;
    slot.OnErrorHDev = &HostOnLogWords<kErrorHDev>;
    slot.OnErrorHModule = &HostOnLogWords<kErrorHModule>;
    slot.OnErrorDataDev = &HostOnLogRecords<kErrorDataDev, 8>;
    slot.OnErrorDataModule = &HostOnLogRecords<kErrorDataModule, 8>;
    slot.OnEditHModule = &HostOnEditHModule;
    slot.OnEditDataModule = &HostOnLogRecords<kEditDataModule, 16>;
    return slot;
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
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (g_host.calls.size() < 3 || g_host.calls.compare(g_host.calls.size() - 3, 3, "id;") != 0 ||
               static_cast<std::size_t>(std::count(g_host.calls.begin(), g_host.calls.end(), ';')) <= before) {
            if (std::chrono::steady_clock::now() > end) return false;
            ::PumpMessages(20);
        }
        return true;
    }

    std::unique_ptr<sim::PtyMeter> meter;
    PortHandle port = kNoPort;
};

}  // namespace q31::test
