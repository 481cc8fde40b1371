// The error-log and edit-log exports from end to end, against a virtual
// meter whose every log record tells where it lies (module, block, record),
// and the exports' argument checks.
#include <algorithm>

#include "plugin/TFXB.h"
#include "plugin/exports/PluginInstance.h"
#include "sim/LogContent.h"
#include "tests/e2e/PtyHarness.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

using sim::kDeviceLog;

// The host's records: the meter's second-layout records without their last field.
std::vector<std::uint8_t> ErrorBlock(int owner, int block) {
    std::vector<std::uint8_t> out;
    for (int r = 0; r < 16; ++r) {
        const auto rec = sim::ErrorRecordBytes(true, owner, block, r);
        out.insert(out.end(), rec.begin(), rec.begin() + 8);
    }
    return out;
}

std::vector<std::uint8_t> EditBlock(int module) {
    std::vector<std::uint8_t> out;
    for (int r = 0; r < 16; ++r) {
        const auto rec = sim::EditRecordBytes(true, module, r);
        out.insert(out.end(), rec.begin(), rec.begin() + 16);
    }
    return out;
}

class LogLine : public PtyHarness {
protected:
};

class LogRequests : public LogLine, public ::testing::WithParamInterface<bool> {};

TEST_P(LogRequests, EveryExportDeliversRecordsFromItsOwnPlace) {
    Open(GetParam());
    SDevIdent dev = Ident();

    Run(kErrorHDev, [&] { return ::GetErrorHDev(&dev); });
    EXPECT_EQ(g_host.count, 8u);
    for (int w = 0; w < 8; ++w) EXPECT_EQ(g_host.words[w], sim::ErrorHeadWord(kDeviceLog, w)) << w;

    // The second layout's module head has five words; the sixth the host
    // sees is always zero.
    PluginForm().ErrorHeadModule[5] = 0xBEEF;
    for (int module : {1, 8}) {
        Run(kErrorHModule, [&] { return ::GetErrorHModule(&dev, static_cast<std::uint32_t>(module)); });
        EXPECT_EQ(g_host.count, 6u);
        ASSERT_EQ(g_host.words.size(), 6u);
        for (int w = 0; w < 5; ++w) EXPECT_EQ(g_host.words[w], sim::ErrorHeadWord(module - 1, w)) << module;
        EXPECT_EQ(g_host.words[5], 0);
    }

    for (int block : {1, 8}) {
        Run(kErrorDataDev, [&] { return ::GetErrorDataDev(&dev, static_cast<std::uint32_t>(block)); });
        EXPECT_EQ(g_host.count, 16u);
        EXPECT_EQ(g_host.records, ErrorBlock(kDeviceLog, block - 1)) << "device block " << block;
    }
    const void* errorBuffer = g_host.pointer;

    for (const auto& place : {std::pair{1, 1}, std::pair{6, 5}, std::pair{3, 2}}) {
        const int module = place.first, block = place.second;
        Run(kErrorDataModule, [&] {
            return ::GetErrorDataModule(&dev, static_cast<std::uint32_t>(module), static_cast<std::uint32_t>(block));
        });
        EXPECT_EQ(g_host.count, 16u);
        EXPECT_EQ(g_host.records, ErrorBlock(module - 1, block - 1)) << module << "/" << block;
        EXPECT_EQ(g_host.pointer, errorBuffer) << "device and module blocks share one buffer";
    }

    for (int module : {1, 8}) {
        Run("edithead", [&] { return ::GetEditHModule(&dev, static_cast<std::uint32_t>(module)); });
        EXPECT_EQ(g_host.words, std::vector<std::uint16_t>{sim::EditHeadWord(module - 1)});
    }

    const std::uint64_t before = Requests();
    for (int module : {8, 1, 5}) {
        Run(kEditDataModule, [&] { return ::GetEditDataModule(&dev, static_cast<std::uint32_t>(module)); });
        EXPECT_EQ(g_host.count, 16u);
        EXPECT_EQ(g_host.records, EditBlock(module - 1)) << "module " << module;
    }
    EXPECT_EQ(Requests() - before, 9u) << "identification and two halves per edit log";
}

INSTANTIATE_TEST_SUITE_P(Echo, LogRequests, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "LineEchoes" : "NoEcho"; });

TEST_F(LogLine, AnAbandonedEditReadDeliversNothingLater) {
    Open(false);
    // The meter never answers the second half of module 1's edit log.
    constexpr std::uint32_t silentAt = sim::kEditLogAddress + 16 + 144;
    meter->WithModel([](sim::MeterModel& m) {
        m.SetHandler(0x31, [](sim::MeterModel& mm, const sim::MeterRequest& r) {
            if (r.data.size() != 5) return sim::MeterResponse::None();
            const std::uint32_t address = r.data[0] | r.data[1] << 8 | r.data[2] << 16 | r.data[3] << 24;
            if (address == silentAt) return sim::MeterResponse::None();
            return sim::MeterResponse::Data(mm.Memory().Read(sim::MemoryArea::Flash, address, r.data[4]));
        });
    });
    SDevIdent dev = Ident();
    ASSERT_EQ(::GetEditDataModule(&dev, 1), 0);
    for (int waited = 0; Requests() < 3 && waited < 2000; waited += 10) ::PumpMessages(10);
    ASSERT_EQ(Requests(), 3u) << "the second half went out";

    Run(kErrorHDev, [&] { return ::GetErrorHDev(&dev); });
    Run(kEditDataModule, [&] { return ::GetEditDataModule(&dev, 2); });
    EXPECT_EQ(g_host.records, EditBlock(1));
    ASSERT_TRUE(FollowWithGetID());
    EXPECT_EQ(g_host.calls, std::string(kEditDataModule) + ";id;") << "nothing of the abandoned read comes back";
    // The module block is read through the form's own reply handler: no log
    // read left installed in its place takes those replies.
    std::uint8_t count = 0;
    meter->WithModel([&](sim::MeterModel& m) { count = m.Ram()[0xFE00 + 35]; });
    Run("count", [&] { return ::GetModuleCount(&dev); });
    EXPECT_EQ(g_host.moduleCount, count);
}

// The checks come in a fixed order, and nothing goes on the line for a refused call.
TEST(LogRequestChecks, SlotThenDeviceTypeThenNumbers) {
    ManualClock clock;
    MessageLoop loop{&clock};
    MeterEnd end;
    TFXB form{loop};
    SDevIdent dev{};
    dev.DevType = 5120;
    SDevIdent other{};
    other.DevType = 5121;

    EXPECT_EQ(form.GetErrorHDev(nullptr), kSlotNotReady);
    EXPECT_EQ(form.GetEditHModule(&dev, 0), kSlotNotReady);
    EXPECT_EQ(form.ReqNumber, 255) << "the number is kept before any check";
    EXPECT_EQ(form.GetErrorDataModule(&other, 0, 9), kSlotNotReady);
    EXPECT_EQ(form.ReqNumber, 255);
    EXPECT_EQ(form.ReqNumber2, 8);

    TQ31Slot slot{};
    slot.Handle = end.host;
    slot.EchoFlag = 1;
    slot.TimeOut = 150;
    form.InitSlot(&slot);
    // The device type is looked at before any number.
    const auto numbered = [&](const SDevIdent* d, std::uint8_t m, std::uint8_t b) {
        return std::vector<int>{form.GetErrorHModule(d, m), form.GetErrorDataDev(d, b),
                                form.GetErrorDataModule(d, m, b), form.GetEditHModule(d, m),
                                form.GetEditDataModule(d, m)};
    };
    EXPECT_EQ(form.GetErrorHDev(&other), kWrongDeviceType);
    EXPECT_EQ(numbered(&other, 9, 0), (std::vector<int>{2, 2, 2, 2, 2}));
    // Eight modules and blocks, except six modules of five blocks for the module error logs.
    EXPECT_EQ(form.GetErrorDataModule(&dev, 7, 1), kBadArgument);
    EXPECT_EQ(form.GetErrorDataModule(&dev, 1, 6), kBadArgument);
    EXPECT_EQ(numbered(&dev, 9, 9), (std::vector<int>{3, 3, 3, 3, 3}));
    EXPECT_EQ(numbered(&dev, 0, 0), (std::vector<int>{3, 3, 3, 3, 3}));
    EXPECT_EQ(form.ReqNumber, 255);
    loop.Tick(Micros{100} * 1000);
    EXPECT_TRUE(end.Queued().empty());

    // The highest accepted numbers start the identification.
    EXPECT_EQ(form.GetErrorDataModule(&dev, 6, 5), kStarted);
    EXPECT_EQ(form.ReqNumber, 5);
    EXPECT_EQ(form.ReqNumber2, 4);
    loop.Tick(Micros{10} * 1000);
    EXPECT_EQ(end.Take(6), (Bytes{0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01}));
}

}  // namespace
}  // namespace q31::test
