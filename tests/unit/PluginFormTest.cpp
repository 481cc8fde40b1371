// The plug-in form: export codes, the slot record, identification, the
// serial-number check and the dispatcher, with a scripted meter.
#include <gtest/gtest.h>

#include <string>

#include "platform/MessageBox.h"
#include "plugin/TFXB.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

std::string g_log;
SDevIdent g_ident{};
std::string g_message;
std::string g_caption;
unsigned g_flags = 99;

void Q31_CALL OnID(SDevIdent* ident) {
    g_log += "id";
    g_ident = *ident;
}
void Q31_CALL OnTimeOut() { g_log += "timeout"; }
void Q31_CALL OnModuleCount(uint32_t count) { g_log += "count(" + std::to_string(count) + ")"; }
void MessageHandler(const char* text, const char* caption, unsigned flags) {
    g_message = text;
    g_caption = caption;
    g_flags = flags;
}

class PluginForm : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        g_message.clear();
        SetMessageBoxHandler(&MessageHandler);
        slot.Handle = end.host;
        slot.EchoFlag = 1;
        slot.TimeOut = 300;
        slot.OnID = &OnID;
        slot.OnModuleCount = &OnModuleCount;
    }
    void TearDown() override { SetMessageBoxHandler(nullptr); }

    void Advance(int ms) { loop.Tick(Micros{ms} * 1000); }
    template <typename Pred>
    bool PumpUntil(Pred done, int ms = 2000) {
        return test::PumpUntil(loop, done, ms);
    }
    SDevIdent Ident(std::uint32_t serial, std::uint16_t type = 5120) {
        SDevIdent d{};
        d.DevType = type;
        d.SerialNumber = serial;
        return d;
    }

    ManualClock clock;
    MessageLoop loop{&clock};
    MeterEnd end;
    TFXB form{loop};
    TQ31Slot slot{};
};

TEST_F(PluginForm, RefusalsSendNothing) {
    SDevIdent dev = Ident(1);
    EXPECT_EQ(form.GetID(), 1);
    EXPECT_EQ(form.GetModuleCount(&dev), 1);
    EXPECT_EQ(form.GetModuleCount(nullptr), 1) << "an uninitialised slot comes first of all";
    form.InitSlot(nullptr);
    EXPECT_FALSE(form.SlotReady) << "a null slot record changes nothing";
    form.InitSlot(&slot);
    EXPECT_EQ(form.GetModuleCount(nullptr), 3) << "a null record is refused, not read";
    SDevIdent other = Ident(1, 5121);
    EXPECT_EQ(form.GetModuleCount(&other), 2);
    EXPECT_EQ(form.GetModuleRecord(&other, 9), 2) << "the device type is tested before the module";
    EXPECT_EQ(form.GetModuleRecord(&dev, 0), 3);
    EXPECT_EQ(form.GetModuleRecord(&dev, 7), 3);
    EXPECT_EQ(form.ModuleIndex, 6) << "the module is kept even when refused";
    Advance(100);
    EXPECT_TRUE(end.TakeAll(30).empty());
}

TEST_F(PluginForm, GetIDDeliversIdentityThroughDispatcherTick) {
    slot.EchoFlag = 0;  // the line echoes
    form.InitSlot(&slot);
    form.DevIdent.Carried[0] = 0xAB;
    ASSERT_EQ(form.GetID(), 0);
    Advance(10);
    const Bytes sent = end.Take(6);
    EXPECT_EQ(sent, (Bytes{0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01}));
    end.Send(sent);
    end.Send(IdReply(0x01020304));
    ASSERT_TRUE(PumpUntil([&] { return form.Timer1.Enabled(); }));
    EXPECT_EQ(g_log, "") << "the host is called from the dispatcher's tick, not the link's event";
    Advance(10);
    EXPECT_EQ(g_log, "id");
    EXPECT_EQ(g_ident.SerialNumber, 0x01020304u);
    EXPECT_EQ(g_ident.DevType, 0x1400);
    EXPECT_EQ(g_ident.IdWord12, 0x1234);
    EXPECT_EQ(g_ident.Carried[0], 0xAB) << "bytes 10-11 are left as they were";
    EXPECT_FALSE(form.Timer1.Enabled());
}

TEST_F(PluginForm, SerialMismatchShowsSignedNumbersAndNoCallback) {
    form.InitSlot(&slot);
    SDevIdent dev = Ident(0x80000000u);
    ASSERT_EQ(form.GetModuleCount(&dev), 0);
    Advance(10);
    end.Take(6);
    end.Send(IdReply(0xFFFFFFFEu));
    ASSERT_TRUE(PumpUntil([&] { return form.Timer1.Enabled(); }));
    Advance(10);
    EXPECT_EQ(g_log, "");
    EXPECT_EQ(g_caption, "Ошибка!");
    EXPECT_EQ(g_message, "Не совпадение серийных номеров запрос №-2147483648  найден №-2");
    EXPECT_EQ(g_flags, 0u);
    Advance(100);
    EXPECT_TRUE(end.TakeAll(30).empty()) << "the request's own reads never go out";
}

TEST_F(PluginForm, TimeOutReachesHostOnlyWithoutRepetition) {
    form.InitSlot(&slot);
    ASSERT_EQ(form.GetID(), 0);
    Advance(10 + 300);
    EXPECT_EQ(g_log, "") << "with repetition on the meter is just asked again";
    EXPECT_EQ(form.PublicNetKs_6x61.RepetitionCounter, 1);

    slot.OnTimeOut = &OnTimeOut;
    form.InitSlot(&slot);
    form.PublicNetKs_6x61.Repetition = false;
    ASSERT_EQ(form.GetID(), 0);
    Advance(10 + 300);
    EXPECT_EQ(g_log, "timeout");
}

TEST_F(PluginForm, DispatcherIgnoresCodesNoRequestSets) {
    form.InitSlot(&slot);
    for (int code : {119, 12, 99, 126, -1}) {
        form.RequestCode = code;
        form.Timer1.SetEnabled(true);
        Advance(10);
    }
    form.RequestCode = 112;
    form.Timer1.SetEnabled(true);
    Advance(10);
    EXPECT_EQ(g_log, "");
    EXPECT_EQ(g_message, "");
    EXPECT_EQ(form.RequestCode, 112) << "the code keeps its value";
}

TEST_F(PluginForm, DispatcherSkipsMissingCallback) {
    slot.OnModuleCount = nullptr;
    form.InitSlot(&slot);
    form.RequestCode = rcModuleCount;
    form.Timer1.SetEnabled(true);
    Advance(10);
    EXPECT_EQ(g_log, "");
}

}  // namespace
}  // namespace q31::test
