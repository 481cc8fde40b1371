#include "tests/soak/SoakHost.h"

namespace q31::soak {

namespace {

Delivery g_delivery;

std::uint64_t U64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void Q31_CALL OnId(SDevIdent* d) {
    SoakHost::Deliver(Export::ID, {d->DevType, d->IdWord2, d->SerialNumber, d->IdWord12});
}
void Q31_CALL OnModuleCount(std::uint32_t n) { SoakHost::Deliver(Export::ModuleCount, {n & 0xFF}); }
void Q31_CALL OnModuleRecord(SModuleRecord* r) {
    std::vector<std::uint64_t> v{r->Word0};
    for (std::uint8_t b : r->Bytes) v.push_back(b);
    for (std::uint32_t x : r->Values) v.push_back(x);
    SoakHost::Deliver(Export::ModuleRecord, std::move(v));
}
void Q31_CALL OnCurrentData(SCurrentData* r) {
    std::vector<std::uint64_t> v;
    for (const auto& group : r->Groups)
        for (std::uint32_t x : group) v.push_back(x);
    SoakHost::Deliver(Export::CurrentData, std::move(v));
}
void Q31_CALL OnAccumulatedData(SAccumulatedData* r) {
    std::vector<std::uint64_t> v;
    for (std::uint32_t x : r->Values) v.push_back(x);
    for (const auto& group : r->Groups)
        for (std::uint64_t x : group) v.push_back(x);
    SoakHost::Deliver(Export::AccumulatedData, std::move(v));
}
void Q31_CALL OnArhiveCount(SArhiveCount* r) {
    SoakHost::Deliver(Export::ArchiveCount, {r->FirstWord, r->HourCount, r->DayCount});
}
template <Export E>
void Q31_CALL OnArhive32(std::int32_t* values, std::uint32_t count) {
    std::vector<std::uint64_t> v;
    for (std::uint32_t i = 0; i < (count & 0xFFFF); ++i) v.push_back(static_cast<std::uint32_t>(values[i]));
    SoakHost::Deliver(E, std::move(v));
}
template <Export E>
void Q31_CALL OnArhive64(std::int64_t* values, std::uint32_t count) {
    std::vector<std::uint64_t> v;
    for (std::uint32_t i = 0; i < (count & 0xFFFF); ++i) v.push_back(static_cast<std::uint64_t>(values[i]));
    SoakHost::Deliver(E, std::move(v));
}
// Heads: the device head is eight words; of the module head's six, only
// five come from the meter.
template <Export E, std::uint32_t Meaningful>
void Q31_CALL OnLogWords(std::uint16_t* words, std::uint32_t count) {
    std::vector<std::uint64_t> v;
    for (std::uint32_t i = 0; i < count && i < Meaningful; ++i) v.push_back(words[i]);
    SoakHost::Deliver(E, std::move(v));
}
template <Export E, std::size_t RecordBytes>
void Q31_CALL OnLogRecords(std::uint8_t* records, std::uint32_t count) {
    std::vector<std::uint64_t> v;
    for (std::uint32_t i = 0; i < count && i < 16; ++i)
        for (std::size_t at = 0; at < RecordBytes; at += 8) v.push_back(U64(records + i * RecordBytes + at));
    SoakHost::Deliver(E, std::move(v));
}
void Q31_CALL OnEditHead(std::uint16_t* word) { SoakHost::Deliver(Export::EditHModule, {*word}); }

void OnMessage(const char* text, const char*, unsigned) { SoakHost::Message(text); }

}  // namespace

TQ31Slot SoakHost::Slot(PortHandle port, bool echo, int timeoutMs) {
    TQ31Slot s{};
    s.Handle = port;
    s.EchoFlag = echo ? 0 : 1;
    s.TimeOut = timeoutMs;
    s.OnTimeOut = nullptr;
    s.OnID = &OnId;
    s.OnModuleCount = &OnModuleCount;
    s.OnModuleRecord = &OnModuleRecord;
    s.OnCurrentData = &OnCurrentData;
    s.OnAccumulatedData = &OnAccumulatedData;
    s.OnArhiveCount = &OnArhiveCount;
    s.OnArhiveTime_Hour = &OnArhive32<Export::ArchiveTime_Hour>;
    s.OnArhiveStop_Hour = &OnArhive32<Export::ArchiveStop_Hour>;
    s.OnArhiveT_Hour = &OnArhive32<Export::ArchiveT_Hour>;
    s.OnArhiveU_Hour = &OnArhive64<Export::ArchiveU_Hour>;
    s.OnArhiveM_Hour = &OnArhive64<Export::ArchiveM_Hour>;
    s.OnArhiveE_Hour = &OnArhive64<Export::ArchiveE_Hour>;
    s.OnArhiveTime_Day = &OnArhive32<Export::ArchiveTime_Day>;
    s.OnArhiveStop_Day = &OnArhive32<Export::ArchiveStop_Day>;
    s.OnArhiveT_Day = &OnArhive32<Export::ArchiveT_Day>;
    s.OnArhiveU_Day = &OnArhive64<Export::ArchiveU_Day>;
    s.OnArhiveM_Day = &OnArhive64<Export::ArchiveM_Day>;
    s.OnArhiveE_Day = &OnArhive64<Export::ArchiveE_Day>;
    s.OnErrorHDev = &OnLogWords<Export::ErrorHDev, 8>;
    s.OnErrorHModule = &OnLogWords<Export::ErrorHModule, 5>;
    s.OnErrorDataDev = &OnLogRecords<Export::ErrorDataDev, 8>;
    s.OnErrorDataModule = &OnLogRecords<Export::ErrorDataModule, 8>;
    s.OnEditHModule = &OnEditHead;
    s.OnEditDataModule = &OnLogRecords<Export::EditDataModule, 16>;
    return s;
}

void SoakHost::Install() { ::SetMessageBoxHandler(&OnMessage); }
void SoakHost::Uninstall() { ::SetMessageBoxHandler(nullptr); }

void SoakHost::Reset() { g_delivery = {}; }
bool SoakHost::Finished() { return g_delivery.callback || g_delivery.message; }
const Delivery& SoakHost::Last() { return g_delivery; }

void SoakHost::Deliver(Export from, std::vector<std::uint64_t> values) {
    ++g_delivery.callbacks;
    if (g_delivery.callback) return;  // keep the first; the count tells of the rest
    g_delivery.callback = true;
    g_delivery.from = from;
    g_delivery.values = std::move(values);
}

void SoakHost::Message(const char* text) {
    g_delivery.message = true;
    g_delivery.text = text ? text : "";
}

}  // namespace q31::soak
