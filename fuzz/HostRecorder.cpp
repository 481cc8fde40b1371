#include "fuzz/HostRecorder.h"

#include <cstdint>
#include <cstring>

#include "platform/MessageBox.h"

namespace q31::fuzz {

namespace {

HostRecorder* g_current = nullptr;

void Record(int code, const void* data, std::size_t bytes, bool hasCount, std::uint32_t count) {
    HostDelivery d;
    d.code = code;
    if (data && bytes) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        d.bytes.assign(p, p + bytes);
    }
    d.hasCount = hasCount;
    d.count = count;
    if (g_current) g_current->Record(std::move(d));
}

template <int Code, typename Rec>
void Q31_CALL OnRecord(Rec* record) {
    Record(Code, record, sizeof *record, false, 0);
}

void Q31_CALL OnModuleCount(std::uint32_t count) {
    const std::uint8_t low = static_cast<std::uint8_t>(count);
    Record(1, &low, 1, false, 0);
}

// The archive callbacks: as many values as the low 16 bits of the count say.
template <int Code, typename Value>
void Q31_CALL OnValues(Value* values, std::uint32_t count) {
    Record(Code, values, sizeof(Value) * (count & 0xFFFF), true, count);
}

// The log callbacks: `count` words or 8-byte error records, 16-byte edit records.
template <int Code, typename Item, std::size_t ItemBytes>
void Q31_CALL OnLog(Item* items, std::uint32_t count) {
    Record(Code, items, ItemBytes * count, true, count);
}

void Q31_CALL OnEditHead(std::uint16_t* word) { Record(124, word, 2, false, 0); }

void Q31_CALL OnTimeOut() { Record(HostDelivery::kTimeOut, nullptr, 0, false, 0); }

void OnMessage(const char* text, const char* caption, unsigned) {
    HostDelivery d;
    d.code = HostDelivery::kMessage;
    d.text = std::string(caption ? caption : "") + ": " + (text ? text : "");
    if (g_current) g_current->Record(std::move(d));
}

}  // namespace

HostRecorder::HostRecorder() {
    g_current = this;
    SetMessageBoxHandler(&OnMessage);
}

HostRecorder::~HostRecorder() {
    if (g_current == this) g_current = nullptr;
}

HostRecorder* HostRecorder::Current() { return g_current; }

TQ31Slot HostRecorder::Slot(Q31PortHandle handle, bool echo, int timeOutMs) {
    TQ31Slot slot;
    std::memset(&slot, 0, sizeof slot);
    slot.Handle = handle;
    slot.EchoFlag = echo ? 0 : 1;
    slot.TimeOut = timeOutMs;
    slot.OnTimeOut = &OnTimeOut;
    slot.OnID = &OnRecord<0, SDevIdent>;
    slot.OnModuleCount = &OnModuleCount;
    slot.OnModuleRecord = &OnRecord<2, SModuleRecord>;
    slot.OnCurrentData = &OnRecord<3, SCurrentData>;
    slot.OnAccumulatedData = &OnRecord<4, SAccumulatedData>;
    slot.OnArhiveCount = &OnRecord<5, SArhiveCount>;
    slot.OnArhiveTime_Hour = &OnValues<10, std::int32_t>;
    slot.OnArhiveStop_Hour = &OnValues<11, std::int32_t>;
    slot.OnArhiveT_Hour = &OnValues<6, std::int32_t>;
    slot.OnArhiveU_Hour = &OnValues<7, std::int64_t>;
    slot.OnArhiveM_Hour = &OnValues<8, std::int64_t>;
    slot.OnArhiveE_Hour = &OnValues<9, std::int64_t>;
    slot.OnArhiveTime_Day = &OnValues<110, std::int32_t>;
    slot.OnArhiveStop_Day = &OnValues<111, std::int32_t>;
    slot.OnArhiveT_Day = &OnValues<106, std::int32_t>;
    slot.OnArhiveU_Day = &OnValues<107, std::int64_t>;
    slot.OnArhiveM_Day = &OnValues<108, std::int64_t>;
    slot.OnArhiveE_Day = &OnValues<109, std::int64_t>;
    slot.OnErrorHDev = &OnLog<120, std::uint16_t, 2>;
    slot.OnErrorHModule = &OnLog<121, std::uint16_t, 2>;
    slot.OnErrorDataDev = &OnLog<122, std::uint8_t, 8>;
    slot.OnErrorDataModule = &OnLog<123, std::uint8_t, 8>;
    slot.OnEditHModule = &OnEditHead;
    slot.OnEditDataModule = &OnLog<125, std::uint8_t, 16>;
    return slot;
}

}  // namespace q31::fuzz
