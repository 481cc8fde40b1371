#include "tools/winhost/WinHostSlot.h"

namespace q31::winhost {

Received g;
Traced g_trace;

void Q31_CALL OnTrace(const TQ31TraceEvent* event, void* user) {
    ++g_trace.events;
    g_trace.user = user;
    if (std::this_thread::get_id() != g.hostThread) g_trace.offThread = true;
    if (event->kind == Q31_TRACE_WRITE && event->length > 0) ++g_trace.writes;
    if (event->kind == Q31_TRACE_READ && event->length > 0) ++g_trace.reads;
}

namespace {

void Q31_CALL OnTimeOut() { ++g.timeOut; }
void Q31_CALL OnID(SDevIdent* ident) {
    g.OnHostThread();
    ++g.id;
    g.identAt = ident;
    if (ident) g.ident = *ident;
}
void Q31_CALL OnModuleCount(std::uint32_t count) {
    g.OnHostThread();
    ++g.moduleCount;
    g.count = count;
}
void Q31_CALL OnModuleRecord(SModuleRecord* record) {
    g.OnHostThread();
    ++g.moduleRecord;
    if (record) g.record = *record;
}
void Q31_CALL OnCurrentData(SCurrentData*) { ++g.unexpected; }
void Q31_CALL OnAccumulatedData(SAccumulatedData*) { ++g.unexpected; }
void Q31_CALL OnArhiveCount(SArhiveCount*) { ++g.unexpected; }
void Q31_CALL OnArhive32(std::int32_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnArhive64(std::int64_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnLogWords(std::uint16_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnLogRecords(std::uint8_t*, std::uint32_t) { ++g.unexpected; }
void Q31_CALL OnEditHead(std::uint16_t*) { ++g.unexpected; }

}  // namespace

void CaptureMessage(const char* text, const char* caption, unsigned) {
    g.OnHostThread();
    ++g.messages;
    g.text = text ? text : "";
    g.caption = caption ? caption : "";
}

TQ31Slot MakeSlot(PortHandle port, bool echo, int timeOutMs) {
    TQ31Slot slot{};
    slot.Handle = port;
    slot.EchoFlag = echo ? 0 : 1;
    slot.TimeOut = timeOutMs;
    slot.OnTimeOut = &OnTimeOut;
    slot.OnID = &OnID;
    slot.OnModuleCount = &OnModuleCount;
    slot.OnModuleRecord = &OnModuleRecord;
    slot.OnCurrentData = &OnCurrentData;
    slot.OnAccumulatedData = &OnAccumulatedData;
    slot.OnArhiveCount = &OnArhiveCount;
    slot.OnArhiveTime_Hour = slot.OnArhiveStop_Hour = slot.OnArhiveT_Hour = &OnArhive32;
    slot.OnArhiveU_Hour = slot.OnArhiveM_Hour = slot.OnArhiveE_Hour = &OnArhive64;
    slot.OnArhiveTime_Day = slot.OnArhiveStop_Day = slot.OnArhiveT_Day = &OnArhive32;
    slot.OnArhiveU_Day = slot.OnArhiveM_Day = slot.OnArhiveE_Day = &OnArhive64;
    slot.OnErrorHDev = slot.OnErrorHModule = &OnLogWords;
    slot.OnErrorDataDev = slot.OnErrorDataModule = slot.OnEditDataModule = &OnLogRecords;
    slot.OnEditHModule = &OnEditHead;
    return slot;
}

}  // namespace q31::winhost
