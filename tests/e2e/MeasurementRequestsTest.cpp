// Current values, accumulated totals and the module block from end to end,
// and the heat meter's totals reads and clears against the virtual meter's
// memory: a real pseudo-terminal, real timers, short time-outs.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "meter/TPublicNetKs_6x6.h"
#include "plugin/TFXB.h"
#include "plugin/exports/PluginInstance.h"
#include "sim/SimFrame.h"
#include "sim/TotalsContent.h"
#include "tests/e2e/PtyHarness.h"

namespace q31::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Packet(std::uint8_t command, Bytes data) { return sim::BuildRequest(201, command, data); }
Bytes IdPacket() { return Packet(0x0F, {}); }
Bytes RamRead(std::uint16_t address, std::uint8_t count) {
    return Packet(0x10, {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), count});
}
Bytes FlashRead(std::uint32_t address, std::uint8_t count) {
    Bytes d(5);
    sim::PutU32(d.data(), address);
    d[4] = count;
    return Packet(0x31, d);
}

class MeasurementRequests : public PtyHarness {
protected:
    // The request packets the meter received, oldest first.
    std::vector<Bytes> Sent() {
        std::vector<Bytes> out;
        for (const auto& r : meter->WithModel([](sim::MeterModel& m) { return m.Log().Entries(); }))
            out.push_back(r.bytes);
        return out;
    }
    Bytes Ram(std::uint16_t address, std::size_t n) {
        return meter->WithModel(
            [&](sim::MeterModel& m) { return Bytes(m.Ram().begin() + address, m.Ram().begin() + address + n); });
    }
    // Points the meter's pointer word `word` at `address`.
    void MovePointer(std::size_t word, std::uint16_t address) {
        meter->WithModel([&](sim::MeterModel& m) {
            m.Memory().WriteU16(sim::MemoryArea::Flash, static_cast<std::uint32_t>(16 + 2 * word), address);
        });
    }
    // The meter answers RAM reads at `address` with `payload` instead.
    // The meter answers the RAM read at `address` once with `payload` (a
    // well-formed reply of another length than asked), then as it should.
    void AnswerRamReadAt(std::uint16_t address, Bytes payload) {
        auto once = std::make_shared<bool>(true);
        meter->WithModel([&](sim::MeterModel& m) {
            m.SetHandler(0x10, [=](sim::MeterModel& model, const sim::MeterRequest& r) {
                const std::uint16_t at = sim::GetU16(r.data.data());
                if (at == address && *once) {
                    *once = false;
                    return sim::MeterResponse::Data(payload);
                }
                return sim::MeterResponse::Data(model.Memory().Read(sim::MemoryArea::Ram, at, r.data[2]));
            });
        });
    }
    static std::uint32_t U32(const Bytes& b, std::size_t at) { return sim::GetU32(&b[at]); }
    static std::uint64_t U64(const Bytes& b, std::size_t at) {
        return U32(b, at) | (static_cast<std::uint64_t>(U32(b, at + 4)) << 32);
    }
    void ExpectCurrentFrom(const Bytes& last) {
        const std::size_t groups[4] = {0, 56, 80, 104};
        for (int g = 0; g < 4; ++g)
            for (int i = 0; i < 6; ++i)
                EXPECT_EQ(g_host.current.Groups[g][i], U32(last, groups[g] + 4 * i)) << "group " << g << " value " << i;
    }
    void ExpectAccumulatedFrom(const Bytes& totals) {
        for (int i = 0; i < 6; ++i) EXPECT_EQ(g_host.accumulated.Values[i], U32(totals, 4 * i)) << i;
        for (int g = 0; g < 3; ++g)
            for (int i = 0; i < 6; ++i)
                EXPECT_EQ(g_host.accumulated.Groups[g][i], U64(totals, 24 + 48 * g + 8 * i))
                    << "group " << g << " " << i;
    }
};

class EchoRequests : public MeasurementRequests, public ::testing::WithParamInterface<bool> {};

TEST_P(EchoRequests, CurrentDataFollowsThePointerToTheLastMeasurement) {
    Open(GetParam());
    MovePointer(6, 0x3000);
    const Bytes last = Ram(0x3000, 152);
    SDevIdent dev = Ident();
    ASSERT_EQ(::GetCurrentData(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "current;");
    EXPECT_EQ(Sent(), (std::vector<Bytes>{IdPacket(), FlashRead(16, 38), RamRead(0x3000, 152)}));
    ExpectCurrentFrom(last);
}

TEST_P(EchoRequests, AccumulatedDataReadsTheModuleTotalsInThreeChunks) {
    Open(GetParam());
    MovePointer(10, 0x3400);
    const Bytes totals = Ram(0x3400, 248);
    SDevIdent dev = Ident();
    ASSERT_EQ(::GetAccumulatedData(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "accumulated;");
    EXPECT_EQ(Sent(), (std::vector<Bytes>{IdPacket(), FlashRead(16, 38), RamRead(0x3400, 100), RamRead(0x3464, 100),
                                          RamRead(0x34C8, 48)}));
    ExpectAccumulatedFrom(totals);
}

TEST_P(EchoRequests, ModuleCountSendsThreeBlockReadsAfterTheIdentification) {
    Open(GetParam());
    SDevIdent dev = Ident();
    ASSERT_EQ(::GetModuleCount(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "count;");
    EXPECT_EQ(Sent(),
              (std::vector<Bytes>{IdPacket(), RamRead(0xFE00, 100), RamRead(0xFE64, 100), RamRead(0xFEC8, 192)}));
}

INSTANTIATE_TEST_SUITE_P(Echo, EchoRequests, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LineEchoes" : "NoEcho"; });

TEST_F(MeasurementRequests, AnotherMeterStopsTheMeasurementRequestsAfterIdentification) {
    Open(false);
    SDevIdent dev = Ident(sim::kDefaultSerialNumber + 1);
    ASSERT_EQ(::GetCurrentData(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    ASSERT_EQ(::GetAccumulatedData(&dev), 0);
    ASSERT_TRUE(WaitCalls(2));
    ASSERT_TRUE(FollowWithGetID());
    EXPECT_EQ(g_host.calls, "message;message;id;");
    EXPECT_EQ(Sent(), (std::vector<Bytes>{IdPacket(), IdPacket(), IdPacket()}));
    SDevIdent other = Ident();
    other.DevType = 5121;
    EXPECT_EQ(::GetCurrentData(&other), 2);
    EXPECT_EQ(::GetAccumulatedData(nullptr), 3);
}

TEST_F(MeasurementRequests, AShortReplyNeverHandsOnBytesOfAnEarlierOne) {
    Open(false);
    SDevIdent dev = Ident();
    ASSERT_EQ(::GetCurrentData(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    ASSERT_EQ(::GetAccumulatedData(&dev), 0);
    ASSERT_TRUE(WaitCalls(2));

    // A well-formed reply with 20 bytes where 152 were asked.
    Bytes fresh(20);
    for (std::size_t i = 0; i < fresh.size(); ++i) fresh[i] = static_cast<std::uint8_t>(0xA0 + i);
    AnswerRamReadAt(sim::kLastMeasureAddress, fresh);
    // It is no answer: the packet is asked again and the host gets the whole record.
    ASSERT_EQ(::GetCurrentData(&dev), 0);
    ASSERT_TRUE(WaitCalls(3));
    ExpectCurrentFrom(Ram(sim::kLastMeasureAddress, 152));

    // The second of the three totals chunks comes back empty once.
    const Bytes totals = Ram(sim::kModuleTotalsAddress, 248);
    AnswerRamReadAt(sim::kModuleTotalsAddress + 100, {});
    ASSERT_EQ(::GetAccumulatedData(&dev), 0);
    ASSERT_TRUE(WaitCalls(4));
    ExpectAccumulatedFrom(totals);
    EXPECT_EQ(g_host.calls, "current;accumulated;current;accumulated;");
}

TEST_F(MeasurementRequests, TheDispatcherReportsOnlyOneOfTheSixModules) {
    Open(false);
    SDevIdent dev = Ident();
    // A refused request still changes the module index of the one in flight.
    for (std::uint32_t refused : {7u, 0u}) {
        g_host.calls.clear();
        const std::uint64_t before = Requests();
        ASSERT_EQ(::GetModuleRecord(&dev, 2), 0);
        EXPECT_EQ(::GetModuleRecord(&dev, refused), 3);
        // The request runs to its end: the third block reply taken and the
        // dispatcher's tick over (the form's state serves as the signal only).
        const TFXB& form = PluginForm();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!(Requests() == before + 4 && !form.Busy()) && std::chrono::steady_clock::now() < end)
            ::PumpMessages(10);
        ASSERT_TRUE(FollowWithGetID());
        EXPECT_EQ(Requests(), before + 5);
        EXPECT_EQ(g_host.calls, "id;") << "module " << refused << " has no entry to report";
    }
    g_host.calls.clear();
    ASSERT_EQ(::GetModuleRecord(&dev, 6), 0);
    ASSERT_TRUE(WaitCalls(1));
    EXPECT_EQ(g_host.calls, "module;");
}

TEST_F(MeasurementRequests, ALongThirdBlockReplyKeepsToTheBlock) {
    Open(false);
    SDevIdent dev = Ident();
    // The host keeps the record of an earlier current-data request: the data
    // behind its pointer stays valid until the next current-data request.
    ASSERT_EQ(::GetCurrentData(&dev), 0);
    ASSERT_TRUE(WaitCalls(1));
    const auto* current = static_cast<const std::uint8_t*>(g_host.pointer);
    const Bytes kept(current, current + sizeof(SCurrentData));

    AnswerRamReadAt(0xFEC8, Bytes(252, 0xEE));
    ASSERT_EQ(::GetModuleRecord(&dev, 6), 0);
    ASSERT_TRUE(WaitCalls(2));
    EXPECT_EQ(g_host.calls, "current;module;");
    // Module 6's entry, block bytes 302 to 351, lies wholly in the third
    // reply: the meter may answer it with more than the 192 bytes asked,
    // and the block takes those 192.
    EXPECT_EQ(g_host.module.Word0, 0xEEEE);
    EXPECT_EQ(Bytes(current, current + sizeof(SCurrentData)), kept)
        << "the 60 bytes beyond the block reach nothing the host holds";
}

// ---- The heat-meter component alone against the virtual meter ----------------

class LiveMeter : public MeasurementRequests {
public:
    // Every event of the component counts as the end of its command.
    template <typename T>
    void DoneWith(T) {
        ++events;
    }

protected:
    void OpenLive() {
        Open(false);
        channel.ComHandle = port;
        component.DeviceComm = &channel;
        component.SetSlaveNetAddress(201);
        component.SetReceiving_back(false);
        component.SetTimeOut(150);
        component.SetTimePackage(1);
        component.NullByteEnabled = false;
    }
    void TearDown() override {
        component.BreakTransmit();
        channel.AbortRead();
        MeasurementRequests::TearDown();
    }
    // Starts a command and pumps until its event, at most `ms` real time.
    bool Run(const std::function<void()>& start, int ms = 3000) {
        const int before = events;
        start();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (events == before) {
            if (std::chrono::steady_clock::now() > end) return false;
            ::PumpMessages(10);
        }
        return true;
    }
    Bytes Flash() {
        return meter->WithModel([](sim::MeterModel& m) { return Bytes(m.Flash().begin(), m.Flash().end()); });
    }
    template <typename T>
    static Bytes Of(const T& record) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
        return Bytes(p, p + sizeof(T));
    }

    TPublicDevCom channel;
    TPublicNetKs_6x6 component;
    int events = 0;
};

TEST_F(LiveMeter, ReadsBringTheRecordsThePointerWordsName) {
    OpenLive();
    auto& c = component;
    c.OnPointerRAM = Delegate<void(SPointerRAM*)>::Bind<&LiveMeter::DoneWith<SPointerRAM*>>(this);
    c.OnLast = Delegate<void(SLastMeasure*)>::Bind<&LiveMeter::DoneWith<SLastMeasure*>>(this);
    c.OnDeviceFDW = Delegate<void(SDeviceFlagsDWord*)>::Bind<&LiveMeter::DoneWith<SDeviceFlagsDWord*>>(this);
    c.OnFB6x6 = Delegate<void(S6x6FlagsByte*)>::Bind<&LiveMeter::DoneWith<S6x6FlagsByte*>>(this);
    c.OnStopTimeHour = Delegate<void(void*)>::Bind<&LiveMeter::DoneWith<void*>>(this);
    c.OnModuleSumHoure = Delegate<void(UModuleSumHoure*)>::Bind<&LiveMeter::DoneWith<UModuleSumHoure*>>(this);
    c.OnV2AllSumm = Delegate<void(SModuleSumALLM*)>::Bind<&LiveMeter::DoneWith<SModuleSumALLM*>>(this);
    c.OnFAllSumm = Delegate<void(SAllSumm*)>::Bind<&LiveMeter::DoneWith<SAllSumm*>>(this);

    ASSERT_TRUE(Run([&] { c.GetFPointerRAM(0); }));
    for (std::size_t word = 0; word < 17; ++word)
        EXPECT_EQ(c.RAMPointers.Words[word], sim::PointerTarget(word)) << "word " << word;
    ASSERT_TRUE(Run([&] { c.GetLast(); }));
    ASSERT_TRUE(Run([&] { c.GetDeviceFDW(); }));
    ASSERT_TRUE(Run([&] { c.GetFB_6x6(); }));
    ASSERT_TRUE(Run([&] { c.GetStopTimeHour(); }));
    ASSERT_TRUE(Run([&] { c.GetModuleSumHour(); }));
    ASSERT_TRUE(Run([&] { c.V2GetAllSumm(); }));
    ASSERT_TRUE(Run([&] { c.GetFAllSumm(); }));
    EXPECT_EQ(Of(c.LastMeasure), Ram(sim::kLastMeasureAddress, 152));
    EXPECT_EQ(Of(c.DeviceFlags), Ram(sim::PointerTarget(2), 24));
    EXPECT_EQ(Of(c.FlagsByte), Ram(sim::PointerTarget(3), 14));
    EXPECT_EQ(Of(c.StopTimeHour), Ram(sim::PointerTarget(16), 16));
    EXPECT_EQ(Of(c.ModuleSumHoure), Ram(sim::kModuleTotalsAddress, 248));
    EXPECT_EQ(Of(c.ModuleSumALLM), Ram(sim::kModuleTotalsAddress, 248));
    const Bytes flash = Flash();
    EXPECT_EQ(Of(c.AllSumm),
              Bytes(flash.begin() + sim::kAllTotalsFlashAddress, flash.begin() + sim::kAllTotalsFlashAddress + 560));
    EXPECT_EQ(Requests(), 1u + 1 + 1 + 1 + 1 + 2 + 3 + 6);
}

TEST_F(LiveMeter, ClearsZeroExactlyTheirBytesOfFlash) {
    OpenLive();
    auto& c = component;
    c.OnClearAllSumm = c.OnClearSummDay = c.OnClearHead =
        TPublicNetKs_6x6::ByteEvent::Bind<&LiveMeter::DoneWith<char>>(this);
    const std::uint32_t errorLog = FlashAddressMap[AddrErrorLog];
    const std::uint32_t editLog = FlashAddressMap[AddrEditLog];
    // Nothing in or around the areas is zero before, so every zero after is a write.
    meter->WithModel([&](sim::MeterModel& m) {
        auto flash = m.Flash();
        std::fill(flash.begin() + 8192, flash.begin() + 10496, 0x5A);
        std::fill(flash.begin() + errorLog - 64, flash.begin() + errorLog + 1600, 0x5A);
        std::fill(flash.begin() + editLog - 64, flash.begin() + editLog + 200, 0x5A);
    });

    struct Clear {
        const char* name;
        std::function<void()> start;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> zeroed;  // [from, to)
        std::uint64_t packets;
    };
    const Clear clears[] = {
        {"all totals", [&] { c.ClearAllSumm(); }, {{9472, 9472 + 560}}, 6},
        {"day totals", [&] { c.ClearSummDay(); }, {{8448, 8448 + 328}}, 4},
        {"log heads",
         [&] { c.ClearHead(); },
         {{errorLog, errorLog + 16}, {errorLog + 1040, errorLog + 1436}, {editLog, editLog + 16}},
         35},
    };
    for (const Clear& clear : clears) {
        SCOPED_TRACE(clear.name);
        const Bytes before = Flash();
        const std::uint64_t requestsBefore = Requests();
        ASSERT_TRUE(Run(clear.start));
        const Bytes after = Flash();
        EXPECT_EQ(Requests() - requestsBefore, clear.packets);
        std::size_t changed = 0, expected = 0;
        for (const auto& [from, to] : clear.zeroed) {
            expected += to - from;
            EXPECT_EQ(Bytes(after.begin() + from, after.begin() + to), Bytes(to - from, 0)) << from;
        }
        for (std::size_t i = 0; i < after.size(); ++i) changed += after[i] != before[i];
        EXPECT_EQ(changed, expected) << "nothing but the listed bytes changed";
    }
}

}  // namespace
}  // namespace q31::test
