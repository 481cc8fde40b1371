#include "plugin/TFXB.h"

#include <cstdio>
#include <cstring>

#include "platform/MessageBox.h"
#include "plugin/MessageTexts.h"

namespace q31 {

TFXB::TFXB(MessageLoop& loop) : MeterSession(loop) {
    PublicNetKs_6x61.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&TFXB::PublicNetKs_6x61TimeOut>(this);
    OnResult = ResultEvent::Bind<&TFXB::SessionResult>(this);
    OnStartBeyondNewest = Delegate<void()>::Bind<&TFXB::StartBeyondNewest>(this);
}

void TFXB::InitSlot(const TQ31Slot* slot) {
    if (!slot) return;
    std::memcpy(&Slot, slot, sizeof Slot);
    SlotReady = true;
    // Echo flag 0: the line returns every byte we send. The session applies
    // the settings at the start of the next request.
    SetLink(Slot.Handle, Slot.EchoFlag == 0, Slot.TimeOut);
}

std::uint8_t TFXB::Run(RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second) {
    const RequestRow& row = RequestRowOf(id);
    // The series and log requests keep their numbers before anything else,
    // also when the call is then refused; the module record after the slot
    // test.
    if (row.keep == ArgKeep::ArhiveArgs || row.keep == ArgKeep::ReqNumbers) KeepArguments(row, first, second);
    if (!SlotReady) return kSlotNotReady;
    if (row.keep == ArgKeep::ModuleIndex) KeepArguments(row, first, second);
    return Request(id, dev, first, second);
}

std::uint8_t TFXB::GetID() { return Run(RequestId::ID, nullptr); }
std::uint8_t TFXB::GetModuleCount(const SDevIdent* dev) { return Run(RequestId::ModuleCount, dev); }
std::uint8_t TFXB::GetModuleRecord(const SDevIdent* dev, std::uint8_t module) {
    return Run(RequestId::ModuleRecord, dev, module);
}
std::uint8_t TFXB::GetCurrentData(const SDevIdent* dev) { return Run(RequestId::CurrentData, dev); }
std::uint8_t TFXB::GetAccumulatedData(const SDevIdent* dev) { return Run(RequestId::AccumulatedData, dev); }
std::uint8_t TFXB::GetArhiveCount(const SDevIdent* dev) { return Run(RequestId::ArhiveCount, dev); }
std::uint8_t TFXB::GetArhiveSeries(int series, const SDevIdent* dev, std::uint8_t module, std::uint32_t start) {
    if (series < 0 || series >= kArchiveSeriesCount) return kBadArgument;
    return Run(ArchiveSeriesRequest(series), dev, module, start);
}
std::uint8_t TFXB::GetErrorHDev(const SDevIdent* dev) { return Run(RequestId::ErrorHDev, dev); }
std::uint8_t TFXB::GetErrorHModule(const SDevIdent* dev, std::uint8_t module) {
    return Run(RequestId::ErrorHModule, dev, module);
}
std::uint8_t TFXB::GetErrorDataDev(const SDevIdent* dev, std::uint8_t block) {
    return Run(RequestId::ErrorDataDev, dev, block);
}
std::uint8_t TFXB::GetErrorDataModule(const SDevIdent* dev, std::uint8_t module, std::uint8_t block) {
    return Run(RequestId::ErrorDataModule, dev, module, block);
}
std::uint8_t TFXB::GetEditHModule(const SDevIdent* dev, std::uint8_t module) {
    return Run(RequestId::EditHModule, dev, module);
}
std::uint8_t TFXB::GetEditDataModule(const SDevIdent* dev, std::uint8_t module) {
    return Run(RequestId::EditDataModule, dev, module);
}

void TFXB::PublicNetKs_6x61TimeOut(TComponent*) {
    if (Slot.OnTimeOut) Slot.OnTimeOut();
}

void TFXB::StartBeyondNewest() { ShowMessageBox(texts::kCannotProcess, texts::kErrorCaption, 0); }

void TFXB::SessionResult(const RequestRow* Row, RequestOutcome Outcome) {
    if (Outcome == RequestOutcome::OtherMeter) {
        ShowSerialMismatch();
        return;
    }
    // The legacy requests never stop by themselves: no other outcome comes.
    if (Outcome == RequestOutcome::Done && Row) CallSlot(*Row);
}

void TFXB::ShowSerialMismatch() {
    // Both numbers are shown as signed 32-bit values, as the operator has
    // always seen them.
    char text[256];
    std::snprintf(text, sizeof text, "%s%ld%s%ld", texts::kSerialMismatch,
                  static_cast<long>(static_cast<std::int32_t>(DevIdent.SerialNumber)), texts::kSerialFound,
                  static_cast<long>(static_cast<std::int32_t>(FoundIdent.SerialNumber)));
    ShowMessageBox(text, texts::kErrorCaption, 0);
}

namespace {

// The host callback at `offset` in the slot record, as the type it has there.
template <typename Callback>
Callback SlotCallback(const TQ31Slot& slot, std::size_t offset) {
    Callback callback;
    static_assert(sizeof callback == sizeof slot.OnID);
    std::memcpy(&callback, reinterpret_cast<const std::uint8_t*>(&slot) + offset, sizeof callback);
    return callback;
}

template <typename Callback, typename... Args>
void Call(const TQ31Slot& slot, std::size_t offset, Args... args) {
    // The host fills the callbacks of the requests it uses; a missing one is skipped.
    if (const Callback callback = SlotCallback<Callback>(slot, offset)) callback(args...);
}

}  // namespace

void TFXB::CallSlot(const RequestRow& row) {
    const ResultView view = View(row.shape);
    const std::size_t at = row.slotCallback;
    void* data = const_cast<void*>(view.data);
    switch (row.shape) {
        case ResultShape::Ident: Call<TQ31OnID>(Slot, at, static_cast<SDevIdent*>(data)); break;
        case ResultShape::ModuleCount: Call<TQ31OnModuleCount>(Slot, at, view.count); break;
        case ResultShape::ModuleRecord:
            // Only a module the request accepted has a record to hand on.
            if (ModuleIndex >= 0 && ModuleIndex <= 5)
                Call<TQ31OnModuleRecord>(Slot, at, static_cast<SModuleRecord*>(data));
            break;
        case ResultShape::CurrentData: Call<TQ31OnCurrentData>(Slot, at, static_cast<SCurrentData*>(data)); break;
        case ResultShape::AccumulatedData:
            Call<TQ31OnAccumulatedData>(Slot, at, static_cast<SAccumulatedData*>(data));
            break;
        case ResultShape::ArhiveCount: Call<TQ31OnArhiveCount>(Slot, at, static_cast<SArhiveCount*>(data)); break;
        case ResultShape::Values32: Call<TQ31OnArhive32>(Slot, at, static_cast<std::int32_t*>(data), view.count); break;
        case ResultShape::Values64: Call<TQ31OnArhive64>(Slot, at, static_cast<std::int64_t*>(data), view.count); break;
        case ResultShape::ErrorHeadDev:
        case ResultShape::ErrorHeadModule:
            Call<TQ31OnLogWords>(Slot, at, static_cast<std::uint16_t*>(data), view.count);
            break;
        case ResultShape::ErrorRecords:
        case ResultShape::EditRecords:
            Call<TQ31OnLogRecords>(Slot, at, static_cast<std::uint8_t*>(data), view.count);
            break;
        case ResultShape::EditHead: Call<TQ31OnEditHead>(Slot, at, static_cast<std::uint16_t*>(data)); break;
    }
}

}  // namespace q31
