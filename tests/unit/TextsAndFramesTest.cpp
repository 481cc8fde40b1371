// Pure protocol pieces: request frames of the generic commands, write limits,
// the text lookups and their Windows-1251 bytes.
#include <gtest/gtest.h>

#include <string>

#include "platform/Cp1251.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

std::string Utf8(const char* text1251) {
    char out[512];
    Cp1251ToUtf8(text1251, out, sizeof out);
    return out;
}

TEST(Texts, DeviceTypeAndConditionLookups) {
    TPublicNetKs link;
    EXPECT_EQ(Utf8(link.GetDeviceTypeStr(0x1400)), "Тепловодосчетчик Q31М V2.X");
    EXPECT_EQ(std::string(link.GetDeviceTypeStr(0x1400)).find("Q31\xCC"), 17u) << "the M is Cyrillic";
    EXPECT_EQ(Utf8(link.GetDeviceTypeStr(0x1E00)), "Не определенный тип.");
    EXPECT_EQ(Utf8(link.GetDeviceTypeStr(0x1500)), "Не определенный тип.") << "rows past 20 are never returned";
    EXPECT_EQ(Utf8(link.GetDeviceTypeStr(0x0000)), "Не определен.");
    EXPECT_EQ(Utf8(link.GetDeviceTypeStr(0x12FF)), "Сервисное устройство Q31МА");
    EXPECT_EQ(Utf8(link.GetDeviceConditionStr(0x0300)), "Stopped");
    EXPECT_EQ(Utf8(link.GetDeviceConditionStr(0x0400)), "Не определенное состояние.");
    EXPECT_TRUE(TPublicNetKs::Multic(0x1400));
    EXPECT_TRUE(TPublicNetKs::Multic(0x0B00));
    EXPECT_FALSE(TPublicNetKs::Multic(0x1500));
    EXPECT_TRUE(TPublicNetKs::IncludeDevices(0x08FF));
    EXPECT_FALSE(TPublicNetKs::IncludeDevices(0x0900));
}

TEST(Texts, Utf8ConversionNeverSplitsACharacter) {
    char out[6];
    EXPECT_EQ(Cp1251ToUtf8("\xC0\xC1\xC2", out, sizeof out), 4u);  // two 2-byte letters fit, the third not
    EXPECT_EQ(std::string(out), "АБ");
    char16_t wide[4];
    EXPECT_EQ(Cp1251ToUtf16("\xB9z", wide, 4), 2u);
    EXPECT_EQ(wide[0], u'№');
}

class Commands : public ::testing::Test {
protected:
    Bytes Sent(std::size_t n) {
        h.Advance(10);
        return h.end.Take(n);
    }
    LinkHarness h;
};

TEST_F(Commands, MemoryCommandFrames) {
    const std::uint8_t two[2] = {0xAB, 0xCD};
    h.link.WriteFlashF149(0x3456, 2, two);
    EXPECT_EQ(Sent(11), Request(0xCA, 0x5A, {2, 0x56, 0x34, 0xAB, 0xCD})) << "count before address";
    h.link.ReadFlashLarge(0x00049600, 160);
    EXPECT_EQ(Sent(11), Request(201, 0x31, {0x00, 0x96, 0x04, 0x00, 160}));
    h.link.WriteFlashLarge(0x01020304, 2, two);
    EXPECT_EQ(Sent(13), Request(201, 0x41, {4, 3, 2, 1, 2, 0xAB, 0xCD}));
    h.link.ReadFlash(0x2000, 12);
    EXPECT_EQ(Sent(9), Request(201, 0x30, {0x00, 0x20, 12}));
    h.link.SetPassword(0x11223344);
    const Bytes password = Sent(10);
    EXPECT_EQ(password, Request(201, 0x50, {0x44, 0x33, 0x22, 0x11}));
    h.link.IDCOMAND(0x11223344);
    EXPECT_EQ(Sent(10), password);
    h.link.KeyPress(5);
    EXPECT_EQ(Sent(7), Request(201, 0x53, {5}));
    h.link.GetCtrSUM(0xBEEF);
    EXPECT_EQ(Sent(8), Request(201, 0x07, {0xEF, 0xBE}));
    h.link.ClearFlashF149();
    EXPECT_EQ(Sent(6), Request(201, 0x55, {}));
    SNextTime t{};
    for (int i = 0; i < 20; ++i) t.Bytes[i] = static_cast<std::uint8_t>(i);
    h.link.SetTime(&t);
    EXPECT_EQ(Sent(26).size(), 26u);
}

TEST_F(Commands, WritesOverTheirLimitSendNothing) {
    std::uint8_t data[255] = {};
    EXPECT_FALSE(h.link.WriteRAM(0, 247, data));
    EXPECT_FALSE(h.link.WriteFlash(0, 247, data));
    EXPECT_FALSE(h.link.WriteFlashF149(0, 247, data));
    EXPECT_FALSE(h.link.WriteFlashLarge(0, 245, data));
    EXPECT_FALSE(h.link.ReadRAM(0, 253));
    std::string longText(256, 'x');
    EXPECT_FALSE(h.link.ModemCommand(longText.data(), longText.size()));
    h.Advance(100);
    EXPECT_TRUE(h.end.TakeAll(20).empty());
    EXPECT_TRUE(h.link.WriteRAM(0, 246, data));
    EXPECT_EQ(Sent(255).size(), 255u);
    EXPECT_TRUE(h.link.WriteFlashLarge(0, 244, data));
    EXPECT_EQ(Sent(255).size(), 255u);
}

TEST_F(Commands, ModuleCounterOnSingleModuleDeviceReportsZeroWithoutTraffic) {
    struct R {
        int value = 99;
        void Got(int v) { value = v; }
    } r;
    h.link.OnReceiveModuleCounter = Delegate<void(int)>::Bind<&R::Got>(&r);
    h.link.GetModuleCounter(0x1500);
    EXPECT_EQ(r.value, 0);
    h.Advance(50);
    EXPECT_TRUE(h.end.TakeAll(20).empty());
    h.link.GetModuleCounter(0x1400);
    EXPECT_EQ(Sent(6), Request(201, 0x08, {}));
    h.end.Send(GeneralReply({0xFF}));
    ASSERT_TRUE(h.PumpUntil([&] { return r.value != 0; }));
    EXPECT_EQ(r.value, -1) << "the count byte is signed";
}

TEST_F(Commands, ModemTextGoesOutUnframedAndKeepsLastPacketForResend) {
    h.link.ReadRAM(0x0100, 2);
    const Bytes read = Sent(9);
    h.link.ModemCommand("AT\r", 3);
    EXPECT_EQ(h.end.Take(3), (Bytes{'A', 'T', '\r'}));
    EXPECT_EQ(Bytes(h.link.TransmitBuffer, h.link.TransmitBuffer + 9), read);
}

}  // namespace
}  // namespace q31::test
