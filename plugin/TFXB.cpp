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
    if (row.keep == ArgKeep::ArchiveArgs || row.keep == ArgKeep::ReqNumbers) KeepArguments(row, first, second);
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
std::uint8_t TFXB::GetArchiveCount(const SDevIdent* dev) { return Run(RequestId::ArchiveCount, dev); }
std::uint8_t TFXB::GetArchiveSeries(int series, const SDevIdent* dev, std::uint8_t module, std::uint32_t start) {
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

void TFXB::SessionResult(const RequestRow* row, RequestOutcome outcome) {
    if (outcome == RequestOutcome::OtherMeter) {
        ShowSerialMismatch();
        return;
    }
    // The legacy requests never stop by themselves: no other outcome comes.
    if (outcome == RequestOutcome::Done && row) CallSlot(*row);
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

void TFXB::CallSlot(const RequestRow& row) {
    VisitResult(row.shape, View(row.shape), [&](auto shape, auto* data, std::uint32_t count) {
        using Shape = decltype(shape);
        // The host fills the callbacks of the requests it uses; a missing one
        // is skipped, and so is a result with nothing to hand on.
        const auto* member = std::get_if<typename Shape::Slot TQ31Slot::*>(&row.slot);
        if (!member || !data) return;
        if (const auto callback = Slot.**member) Shape::ToSlot(callback, data, count);
    });
}

}  // namespace q31
