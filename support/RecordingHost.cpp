#include "support/RecordingHost.h"

namespace q31 {

namespace {

RecordingHost* g_current = nullptr;

// Every callback records into the current host; one that comes when there is
// none is dropped.
RecordingHost* Host(const char* name, const void* pointer) {
    if (!g_current) return nullptr;
    g_current->calls += name;
    g_current->calls += ';';
    g_current->pointer = pointer;
    return g_current;
}

constexpr char kId[] = "id", kModule[] = "module", kCurrent[] = "current", kAccumulated[] = "accumulated",
               kCounters[] = "counters";

template <const char* Name, typename Record, Record RecordingHost::*Kept>
void Q31_CALL OnRecord(Record* record) {
    if (RecordingHost* h = Host(Name, record)) h->*Kept = *record;
}

void Q31_CALL OnTimeOut() {
    if (g_current) g_current->calls += "timeout;";
}

void Q31_CALL OnModuleCount(std::uint32_t n) {
    if (!g_current) return;
    g_current->calls += "count;";
    g_current->moduleCount = n;
}

// The archive callbacks: the count travels in the low 16 bits.
template <const char* Name, typename T>
void Q31_CALL OnArhive(T* values, std::uint32_t count) {
    RecordingHost* h = Host(Name, values);
    if (!h) return;
    h->count = count;
    auto& kept = [&]() -> std::vector<T>& {
        if constexpr (sizeof(T) == 4) return h->values32;
        else return h->values64;
    }();
    kept.assign(values, values + (count & 0xFFFF));
}

template <const char* Name>
void Q31_CALL OnLogWords(std::uint16_t* words, std::uint32_t count) {
    RecordingHost* h = Host(Name, words);
    if (!h) return;
    h->count = count;
    h->words.assign(words, words + (count <= 8 ? count : 8));
}

template <const char* Name, std::size_t RecordSize>
void Q31_CALL OnLogRecords(std::uint8_t* records, std::uint32_t count) {
    RecordingHost* h = Host(Name, records);
    if (!h) return;
    h->count = count;
    h->records.assign(records, records + RecordSize * (count <= 16 ? count : 16));
}

void Q31_CALL OnEditHModule(std::uint16_t* word) {
    if (RecordingHost* h = Host("edithead", word)) h->words.assign(word, word + 1);
}

}  // namespace

RecordingHost* RecordingHost::Current() { return g_current; }

void RecordingHost::Message(const char* text, const char* caption, unsigned) {
    if (!g_current) return;
    g_current->calls += "message;";
    g_current->message = text;
    g_current->caption = caption;
}

TQ31Slot RecordingHost::Slot(Q31PortHandle port, bool echo, int timeoutMs) {
    g_current = this;
    TQ31Slot slot{};
    slot.Handle = port;
    slot.EchoFlag = echo ? 0 : 1;
    slot.TimeOut = timeoutMs;
    slot.OnID = &OnRecord<kId, SDevIdent, &RecordingHost::ident>;
    slot.OnTimeOut = &OnTimeOut;
    slot.OnModuleCount = &OnModuleCount;
    slot.OnModuleRecord = &OnRecord<kModule, SModuleRecord, &RecordingHost::module>;
    slot.OnCurrentData = &OnRecord<kCurrent, SCurrentData, &RecordingHost::current>;
    slot.OnAccumulatedData = &OnRecord<kAccumulated, SAccumulatedData, &RecordingHost::accumulated>;
    slot.OnArhiveCount = &OnRecord<kCounters, SArhiveCount, &RecordingHost::counters>;
    slot.OnArhiveTime_Hour = &OnArhive<kTimeHour, std::int32_t>;
    slot.OnArhiveStop_Hour = &OnArhive<kStopHour, std::int32_t>;
    slot.OnArhiveT_Hour = &OnArhive<kTHour, std::int32_t>;
    slot.OnArhiveU_Hour = &OnArhive<kUHour, std::int64_t>;
    slot.OnArhiveM_Hour = &OnArhive<kMHour, std::int64_t>;
    slot.OnArhiveE_Hour = &OnArhive<kEHour, std::int64_t>;
    slot.OnArhiveTime_Day = &OnArhive<kTimeDay, std::int32_t>;
    slot.OnArhiveStop_Day = &OnArhive<kStopDay, std::int32_t>;
    slot.OnArhiveT_Day = &OnArhive<kTDay, std::int32_t>;
    slot.OnArhiveU_Day = &OnArhive<kUDay, std::int64_t>;
    slot.OnArhiveM_Day = &OnArhive<kMDay, std::int64_t>;
    slot.OnArhiveE_Day = &OnArhive<kEDay, std::int64_t>;
    slot.OnErrorHDev = &OnLogWords<kErrorHDev>;
    slot.OnErrorHModule = &OnLogWords<kErrorHModule>;
    slot.OnErrorDataDev = &OnLogRecords<kErrorDataDev, 8>;
    slot.OnErrorDataModule = &OnLogRecords<kErrorDataModule, 8>;
    slot.OnEditHModule = &OnEditHModule;
    slot.OnEditDataModule = &OnLogRecords<kEditDataModule, 16>;
    return slot;
}

}  // namespace q31
