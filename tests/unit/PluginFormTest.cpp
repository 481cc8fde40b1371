// The plug-in form: export codes, the slot record, identification, the
// serial-number check and the dispatcher, with a scripted meter.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "plugin/TFXB.h"
#include "tests/unit/MeterHarness.h"

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
SModuleRecord g_module{};
void Q31_CALL OnModuleRecord(SModuleRecord* r) {
    g_log += "module";
    g_module = *r;
}
// Every data callback of the archive and log requests only notes its name.
template <const char* Name, typename T>
void Q31_CALL Noted(T*, uint32_t) {
    g_log += Name;
}
template <const char* Name, typename T>
void Q31_CALL NotedOne(T*) {
    g_log += Name;
}
constexpr char kCounters[] = "counters", kArchive[] = "archive", kLog[] = "log", kCurrent[] = "current";
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
        slot.OnModuleRecord = &OnModuleRecord;
        slot.OnArhiveCount = &NotedOne<kCounters, SArhiveCount>;
        for (TQ31OnArhive32* c : {&slot.OnArhiveTime_Hour, &slot.OnArhiveStop_Hour, &slot.OnArhiveT_Hour,
                                  &slot.OnArhiveTime_Day, &slot.OnArhiveStop_Day, &slot.OnArhiveT_Day})
            *c = &Noted<kArchive, int32_t>;
        for (TQ31OnArhive64* c : {&slot.OnArhiveU_Hour, &slot.OnArhiveM_Hour, &slot.OnArhiveE_Hour, &slot.OnArhiveU_Day,
                                  &slot.OnArhiveM_Day, &slot.OnArhiveE_Day})
            *c = &Noted<kArchive, int64_t>;
        slot.OnErrorHDev = slot.OnErrorHModule = &Noted<kLog, uint16_t>;
        slot.OnErrorDataDev = slot.OnErrorDataModule = slot.OnEditDataModule = &Noted<kLog, uint8_t>;
        slot.OnEditHModule = &NotedOne<kLog, uint16_t>;
        slot.OnCurrentData = &NotedOne<kCurrent, SCurrentData>;
    }
    void TearDown() override { SetMessageBoxHandler(nullptr); }

    void Advance(int ms) { loop.Tick(Micros{ms} * 1000); }
    template <typename Pred>
    bool PumpUntil(Pred done, int ms = 2000) {
        return test::PumpUntil(loop, done, ms);
    }
    // Plays a meter with serial number `serial` that answers every request
    // of the plug-in (identification, counters, archive values, memory and
    // log reads) until no further packet comes, then lets the dispatcher
    // run. Returns the packets it was sent.
    std::vector<Bytes> PlayMeter(std::uint32_t serial, const Answer& memory = {}) {
        std::vector<Bytes> packets;
        // A packet may wait two time-outs for the line to fall quiet.
        for (Bytes p = NextSent(loop, end, 700); !p.empty(); p = NextSent(loop, end, 700)) {
            packets.push_back(p);
            Bytes reply;
            if (p.size() < 3) break;
            if (p[2] == 0x0F) {
                reply = IdReply(serial);
            } else if (memory && !(reply = memory(p)).empty()) {
            } else if (p[2] == 0x31 && p.size() == 11 && p[7] == 12) {
                // Archive counters: first word 1, 5 hourly and 5 daily records.
                reply = GeneralReply({1, 0, 0, 0, 5, 0, 0, 0, 5, 0, 0, 0});
            } else if ((p[2] == 0x31 && p.size() == 11) || (p[2] == 0x90 && p.size() == 12)) {
                reply = GeneralReply(Bytes(p[7], 0x21));
            } else if (p[2] == 0x10 && p.size() == 9) {
                reply = GeneralReply(Bytes(p[5], 0x43));
            } else {
                reply = {0x06};
            }
            const Bytes sent(link().TransmitBuffer, link().TransmitBuffer + link().TransmitLength);
            const int reps = link().RepetitionCounter;
            end.Send(reply);
            // Taken, or the packet moved on, or it was refused and goes again,
            // or it is held while the packet is confirmed.
            if (!PumpUntil([&] {
                    return form.Timer1.Enabled() || link().ReceiveStage == 3 || link().RepetitionCounter != reps ||
                           (link().Confirming() && end.UnreadByLibrary() == 0) ||
                           !std::equal(sent.begin(), sent.end(), link().TransmitBuffer,
                                       link().TransmitBuffer + link().TransmitLength);
                }))
                break;
        }
        Advance(10);
        return packets;
    }
    TPublicNetKs_6x6& link() { return form.PublicNetKs_6x61; }

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
    EXPECT_TRUE(end.Queued().empty());
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
    EXPECT_TRUE(end.Queued().empty()) << "the request's own reads never go out";
}

TEST_F(PluginForm, TimeOutReachesHostOnlyWithoutRepetition) {
    form.InitSlot(&slot);
    ASSERT_EQ(form.GetID(), 0);
    Advance(10 + 300 + 10);  // the send delay after the time-out is still listened through
    EXPECT_EQ(g_log, "") << "with repetition on the meter is just asked again";
    EXPECT_EQ(form.PublicNetKs_6x61.RepetitionCounter, 1);

    slot.OnTimeOut = &OnTimeOut;
    form.InitSlot(&slot);
    form.PublicNetKs_6x61.Repetition = false;
    ASSERT_EQ(form.GetID(), 0);
    Advance(10 + 300);
    EXPECT_EQ(g_log, "timeout");
}

TEST_F(PluginForm, CancelStopsTheLinkAndTheDispatcher) {
    form.InitSlot(&slot);
    ASSERT_EQ(form.GetID(), 0);
    EXPECT_EQ(NextSent(loop, end), (Bytes{0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01}));
    form.Cancel();
    // A silent meter would be asked again every 300 ms: ten time-outs pass
    // without a packet.
    int packets = 0;
    for (int ms = 0; ms < 3000; ms += 50) {
        Advance(50);
        if (!end.Queued().empty()) ++packets;
    }
    EXPECT_EQ(packets, 0);
    EXPECT_FALSE(form.Busy());
    EXPECT_EQ(g_log, "");
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

// The archive and log requests go no further than the identification when
// another meter answers: no counters, no values, no log read, no data
// callback; the operator gets the message with both numbers.
TEST_F(PluginForm, ArchiveAndLogRequestsStopAtAnotherMetersSerialNumber) {
    form.InitSlot(&slot);
    const Bytes idPacket = {0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01};
    SDevIdent dev = Ident(1000);
    const std::vector<std::pair<const char*, std::function<std::uint8_t()>>> requests = {
        {"archive count", [&] { return form.GetArchiveCount(&dev); }},
        {"T hourly", [&] { return form.GetArchiveSeries(2, &dev, 1, 0); }},
        {"U daily", [&] { return form.GetArchiveSeries(9, &dev, 6, 0); }},
        {"error head, device", [&] { return form.GetErrorHDev(&dev); }},
        {"error head, module", [&] { return form.GetErrorHModule(&dev, 2); }},
        {"error block, device", [&] { return form.GetErrorDataDev(&dev, 3); }},
        {"error block, module", [&] { return form.GetErrorDataModule(&dev, 4, 5); }},
        {"edit head", [&] { return form.GetEditHModule(&dev, 8); }},
        {"edit block", [&] { return form.GetEditDataModule(&dev, 1); }},
    };
    for (const auto& [name, start] : requests) {
        SCOPED_TRACE(name);
        g_log.clear();
        g_message.clear();
        ASSERT_EQ(start(), 0);
        EXPECT_EQ(PlayMeter(1001), std::vector<Bytes>{idPacket}) << "nothing after the identification";
        EXPECT_EQ(g_log, "") << "no data callback";
        EXPECT_EQ(g_message, "Не совпадение серийных номеров запрос №1000  найден №1001");
    }
    // The same requests with the right meter do get their data.
    g_log.clear();
    ASSERT_EQ(form.GetArchiveSeries(2, &dev, 1, 0), 0);
    EXPECT_EQ(PlayMeter(1000).size(), 3u) << "identification, counters, one packet of values";
    ASSERT_EQ(form.GetErrorDataModule(&dev, 4, 5), 0);
    EXPECT_EQ(PlayMeter(1000).size(), 2u);
    EXPECT_EQ(g_log, "archivelog");
}

// Serial numbers that agree in their low 16 bits are still different meters.
TEST_F(PluginForm, SerialNumbersDifferingOnlyInTheHighHalfAreAMismatch) {
    form.InitSlot(&slot);
    SDevIdent dev = Ident(0x00012345u);  // 74565
    const std::vector<std::pair<const char*, std::function<std::uint8_t()>>> requests = {
        {"module count", [&] { return form.GetModuleCount(&dev); }},
        {"archive count", [&] { return form.GetArchiveCount(&dev); }},
        {"edit block", [&] { return form.GetEditDataModule(&dev, 1); }},
    };
    for (const auto& [name, start] : requests) {
        SCOPED_TRACE(name);
        g_log.clear();
        g_message.clear();
        ASSERT_EQ(start(), 0);
        EXPECT_EQ(PlayMeter(0x00022345u).size(), 1u);
        EXPECT_EQ(g_log, "");
        EXPECT_EQ(g_message, "Не совпадение серийных номеров запрос №74565  найден №140101");
    }
}

// A module-block reply shorter than asked leaves zeros, not the bytes of the
// block read before it. Module 1's entry lies at block bytes 52 to 101: its
// first word in the first slice, its six bytes (64-69) and values (70-93)
// beyond a 60-byte reply.
TEST_F(PluginForm, ShortModuleBlockReplyLeavesNoBytesOfTheEarlierBlock) {
    form.InitSlot(&slot);
    SDevIdent dev = Ident(1000);
    ASSERT_EQ(form.GetModuleRecord(&dev, 1), 0);
    PlayMeter(1000);  // every block byte 0x43
    ASSERT_EQ(g_log, "module");
    EXPECT_EQ(g_module.Word0, 0x4343);
    EXPECT_EQ(g_module.Bytes[0], 0x44);
    EXPECT_EQ(g_module.Values[5], 0x43434343u);

    g_log.clear();
    ASSERT_EQ(form.GetModuleRecord(&dev, 1), 0);
    // The first block read is answered with 60 bytes: not its answer, so it
    // is asked again, and only the whole block counts. (The short frame may
    // have answered something else: the next part is confirmed.)
    int shortReplies = 0;
    PlayMeter(1000, [&shortReplies](const Bytes& p) -> Bytes {
        if (p[2] != 0x10 || p[3] != 0x00 || p[4] != 0xFE) return {};
        return GeneralReply(Bytes(shortReplies++ == 0 ? 60 : p[5], 0x5A));
    });
    ASSERT_EQ(g_log, "module");
    EXPECT_EQ(shortReplies, 2);
    EXPECT_EQ(g_module.Word0, 0x5A5A);
    EXPECT_EQ(g_module.Bytes[0], 0x5B);
}

// A module record abandoned once its block read is armed: the request
// started over it must not keep the block's reply handler, which the reads
// that borrow the handler would park and give back, and which would then
// take a later reply meant for nobody.
TEST_F(PluginForm, ARequestStartedOverAnAbandonedOneKeepsNoneOfItsReplyHandler) {
    form.InitSlot(&slot);
    SDevIdent dev = Ident(1000);
    ASSERT_EQ(form.GetModuleRecord(&dev, 1), 0);
    ASSERT_EQ(NextSent(loop, end), (Bytes{0xC9, 0x01, 0x0F, 0xF0, 0xC9, 0x01}));
    end.Send(IdReply(1000));
    ASSERT_TRUE(PumpUntil([&] { return link().TransmitBuffer[2] == 0x10; })) << "the block read is armed";

    ASSERT_EQ(form.GetCurrentData(&dev), 0);
    EXPECT_EQ(PlayMeter(1000).size(), 3u) << "identification, pointer record, last measurement";
    EXPECT_EQ(g_log, "current");
    EXPECT_FALSE(link().OnReceiveExecuted);
    EXPECT_FALSE(link().SavedReceiveExecuted);
}

}  // namespace
}  // namespace q31::test
