// Pure protocol pieces: request frames of the generic commands, write limits,
// the text lookups and their Windows-1251 bytes.
#include <gtest/gtest.h>

#include <string>

#include "runtime/Cp1251.h"
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
        const Bytes out = NextSent(h.loop, h.end);
        EXPECT_EQ(out.size(), n);
        return out;
    }
    LinkHarness h;
};

// Every generic command against its packet written out byte by byte, the
// checksum (sum of the bytes before it, low byte first) worked out by hand.
TEST_F(Commands, MemoryCommandFrames) {
    const std::uint8_t two[2] = {0xAB, 0xCD};
    const std::uint8_t nineEight[2] = {9, 8};
    EXPECT_TRUE(h.link.WriteRAM(0x1234, 2, nineEight));
    EXPECT_EQ(Sent(11), (Bytes{0xC9, 0x06, 0x20, 0x34, 0x12, 0x02, 0x09, 0x08, 0xF0, 0x38, 0x02}));
    EXPECT_TRUE(h.link.ReadFlash(0x2000, 12));
    EXPECT_EQ(Sent(9), (Bytes{0xC9, 0x04, 0x30, 0x00, 0x20, 0x0C, 0xF0, 0x19, 0x02}));
    EXPECT_TRUE(h.link.ReadFlashLarge(0x00049600, 160));
    EXPECT_EQ(Sent(11), (Bytes{0xC9, 0x06, 0x31, 0x00, 0x96, 0x04, 0x00, 0xA0, 0xF0, 0x2A, 0x03}));
    EXPECT_TRUE(h.link.WriteFlash(0x2000, 2, two));
    EXPECT_EQ(Sent(11), (Bytes{0xC9, 0x06, 0x40, 0x00, 0x20, 0x02, 0xAB, 0xCD, 0xF0, 0x99, 0x03}));
    EXPECT_TRUE(h.link.WriteFlashLarge(0x01020304, 2, two));
    EXPECT_EQ(Sent(13), (Bytes{0xC9, 0x08, 0x41, 0x04, 0x03, 0x02, 0x01, 0x02, 0xAB, 0xCD, 0xF0, 0x86, 0x03}));
    EXPECT_TRUE(h.link.WriteFlashF149(0x3456, 2, two));
    EXPECT_EQ(Sent(11), (Bytes{0xCA, 0x06, 0x5A, 0x02, 0x56, 0x34, 0xAB, 0xCD, 0xF0, 0x1E, 0x04}))
        << "0xCA in front, count before address";
    EXPECT_TRUE(h.link.ClearFlashF149());
    EXPECT_EQ(Sent(6), (Bytes{0xC9, 0x01, 0x55, 0xF0, 0x0F, 0x02}));
}

TEST_F(Commands, PasswordClockKeyAndDisplayFrames) {
    const Bytes password = {0xC9, 0x05, 0x50, 0x44, 0x33, 0x22, 0x11, 0xF0, 0xB8, 0x02};
    EXPECT_TRUE(h.link.SetPassword(0x11223344));
    EXPECT_EQ(Sent(10), password);
    EXPECT_TRUE(h.link.IDCOMAND(0x11223344));
    EXPECT_EQ(Sent(10), password) << "the same packet";
    SNextTime t{};
    for (int i = 0; i < 20; ++i) t.Bytes[i] = static_cast<std::uint8_t>(i);
    EXPECT_TRUE(h.link.SetTime(&t));
    EXPECT_EQ(Sent(26), (Bytes{0xC9, 0x15, 0x51, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09,
                               0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0xF0, 0xDD, 0x02}));
    EXPECT_TRUE(h.link.KeyPress(5));
    EXPECT_EQ(Sent(7), (Bytes{0xC9, 0x02, 0x53, 0x05, 0xF0, 0x13, 0x02}));
}

// The data-carrying service replies, as a meter sends them.
struct Replies {
    std::string log;
    Bytes payload;
    int counter = 99;
    void Executed(short length, char* buffer) {
        log += "exec(" + std::to_string(length) + ")";
        payload.assign(buffer, buffer + length);
    }
    void FalseCrc(TComponent*) { log += "crc"; }
    void Counter(int v) {
        log += "counter";
        counter = v;
    }
};

TEST_F(Commands, DisplayAndControlSumRepliesAreCheckedAndHandedOn) {
    Replies r;
    h.link.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&Replies::Executed>(&r);
    h.link.OnFalseCRC = TPublicNetKs::SenderEvent::Bind<&Replies::FalseCrc>(&r);

    EXPECT_TRUE(h.link.GetDisplayData());
    EXPECT_EQ(Sent(6), (Bytes{0xC9, 0x01, 0x54, 0xF0, 0x0E, 0x02}));
    h.end.Send({0xF0, 0x04, 0x31, 0x32, 0x33, 0x34, 0x00, 0xBE, 0x01});
    ASSERT_TRUE(h.PumpUntil([&] { return !r.log.empty(); }));
    EXPECT_EQ(r.log, "exec(4)");
    EXPECT_EQ(r.payload, (Bytes{0x31, 0x32, 0x33, 0x34}));

    r.log.clear();
    h.link.Repetition = false;  // each reply below answers a packet of its own
    EXPECT_TRUE(h.link.GetCtrSUM(0xBEEF));
    EXPECT_EQ(Sent(8), (Bytes{0xC9, 0x03, 0x07, 0xEF, 0xBE, 0xF0, 0x70, 0x03}));
    // A sum one too high in its high byte is a bad reply...
    h.end.Send({0xF0, 0x02, 0x34, 0x12, 0x55, 0x8D, 0x02});
    ASSERT_TRUE(h.PumpUntil([&] { return !r.log.empty(); }));
    EXPECT_EQ(r.log, "crc");
    // ...the right one is taken.
    EXPECT_TRUE(h.link.GetCtrSUM(0xBEEF));
    EXPECT_EQ(Sent(8), (Bytes{0xC9, 0x03, 0x07, 0xEF, 0xBE, 0xF0, 0x70, 0x03}));
    h.end.Send({0xF0, 0x02, 0x34, 0x12, 0x55, 0x8D, 0x01});
    ASSERT_TRUE(h.PumpUntil([&] { return r.log.size() > 3; }));
    EXPECT_EQ(r.log, "crcexec(2)");
    EXPECT_EQ(r.payload, (Bytes{0x34, 0x12}));
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
    EXPECT_TRUE(h.end.Queued().empty());
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
    EXPECT_TRUE(h.link.GetModuleCounter(0x1500));
    EXPECT_EQ(r.value, 0);
    h.Advance(50);
    EXPECT_TRUE(h.end.Queued().empty());
    EXPECT_TRUE(h.link.GetModuleCounter(0x1400));
    EXPECT_EQ(Sent(6), (Bytes{0xC9, 0x01, 0x08, 0xF0, 0xC2, 0x01}));
    h.end.Send({0xF0, 0x01, 0xFF, 0x55, 0x45, 0x02});
    ASSERT_TRUE(h.PumpUntil([&] { return r.value != 0; }));
    EXPECT_EQ(r.value, -1) << "the count byte is signed";
}

TEST_F(Commands, ModemTextGoesOutUnframedAndKeepsLastPacketForResend) {
    EXPECT_TRUE(h.link.ReadRAM(0x0100, 2));
    const Bytes read = Sent(9);
    EXPECT_TRUE(h.link.ModemCommand("AT\r", 3));
    EXPECT_EQ(h.end.Take(3), (Bytes{'A', 'T', '\r'}));
    EXPECT_EQ(Bytes(h.link.TransmitBuffer, h.link.TransmitBuffer + 9), read);
}

}  // namespace
}  // namespace q31::test
