#include "plugin/TFXB.h"

#include <cstdio>
#include <cstring>

#include "plugin/MessageTexts.h"
#include "platform/MessageBox.h"

namespace q31 {

TFXB::TFXB(MessageLoop& loop)
    : PublicDev(this, loop), PublicNetKs_6x61(this, loop), Timer1(loop, 10, false) {
    // The form's stored settings.
    PublicNetKs_6x61.DeviceComm = &PublicDev;
    PublicNetKs_6x61.SetMasterNetAddress(240);
    PublicNetKs_6x61.SetSlaveNetAddress(201);
    PublicNetKs_6x61.SetReceiving_back(true);
    PublicNetKs_6x61.SetTimeOut(2000);
    PublicNetKs_6x61.SetTimePackage(10);
    PublicNetKs_6x61.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&TFXB::PublicNetKs_6x61TimeOut>(this);
    PublicNetKs_6x61.OnReceivedIDDevice = Delegate<void(SIDDevice*)>::Bind<&TFXB::KS_PUBLIC1ReceivedIDDevice>(this);
    Timer1.OnTimer = Delegate<void()>::Bind<&TFXB::Timer1Timer>(this);
    PublicNetKs_6x61.OnArhivesV2HourDLong =
        TPublicNetKs_6x6::ArrayEvent<std::int64_t>::Bind<&TFXB::PublicNetKs_6x61ArhivesV2HourDLong>(this);
    BindLogHandlers();
}

TFXB::~TFXB() { Timer1.SetEnabled(false); }

void TFXB::InitSlot(const TQ31Slot* slot) {
    if (!slot) return;
    std::memcpy(&Slot, slot, sizeof Slot);
    SlotReady = true;
}

std::uint8_t TFXB::BeginRequest(const SDevIdent* dev) {
    if (!SlotReady) return kSlotNotReady;
    if (!dev) return kBadArgument;
    std::memcpy(&DevIdent, dev, sizeof DevIdent);
    if (DevIdent.DevType != kServedDeviceType) return kWrongDeviceType;
    return kStarted;
}

void TFXB::SetUpLink() {
    PublicNetKs_6x61.NullByteEnabled = false;
    PublicDev.ComHandle = Slot.Handle;
    PublicNetKs_6x61.SetTimeOut(Slot.TimeOut);
    // Echo flag 0: the line returns every byte we send.
    const bool echo = Slot.EchoFlag == 0;
    PublicDev.EchoRead = echo;
    PublicNetKs_6x61.SetReceiving_back(echo);
}

std::uint8_t TFXB::StartRequest(Delegate<void(SIDDevice*)> firstContinuation) {
    SetUpLink();
    // Every request starts with no reply handler: one that an abandoned
    // request left installed must neither run nor be parked as the form's.
    PublicNetKs_6x61.OnReceiveExecuted = nullptr;
    PublicNetKs_6x61.OnReceivedIDDevice = firstContinuation;
    PublicNetKs_6x61.GetDeviceID();
    return kStarted;
}

bool TFXB::SerialMatches(const SIDDevice* found) {
    std::memcpy(&FoundIdent, found, sizeof FoundIdent);
    if (FoundIdent.SerialNumber == DevIdent.SerialNumber) return true;
    Deliver(rcSerialMismatch);
    return false;
}

void TFXB::Deliver(std::int32_t requestCode) {
    RequestCode = requestCode;
    Timer1.SetEnabled(true);
}

std::uint8_t TFXB::GetID() {
    if (!SlotReady) return kSlotNotReady;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::KS_PUBLIC1ReceivedIDDevice>(this));
}

void TFXB::KS_PUBLIC1ReceivedIDDevice(SIDDevice* IDDevice) {
    // Bytes 10-11 of the identity keep what the host's last record carried.
    DevIdent.DevType = IDDevice->DevType;
    DevIdent.IdWord2 = IDDevice->IdWord2;
    DevIdent.SerialNumber = IDDevice->SerialNumber;
    DevIdent.IdWord12 = IDDevice->IdWord12;
    Deliver(rcID);
}

void TFXB::PublicNetKs_6x61TimeOut(TComponent*) {
    if (Slot.OnTimeOut) Slot.OnTimeOut();
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
template <typename Callback, typename... Args>
void Call(Callback callback, Args... args) {
    // The host fills the callbacks of the requests it uses; a missing one is skipped.
    if (callback) callback(args...);
}
}  // namespace

void TFXB::Timer1Timer() {
    Timer1.SetEnabled(false);
    const std::uint32_t count = ValueCount;
    switch (RequestCode) {
        case rcID: Call(Slot.OnID, &DevIdent); break;
        case rcModuleCount: Call(Slot.OnModuleCount, static_cast<std::uint32_t>(ModuleBlock[35])); break;
        case rcModuleRecord: {
            // The index was stored by the export; only a real module has an entry.
            if (ModuleIndex < 0 || ModuleIndex > 5) break;
            const std::uint8_t* entry = ModuleBlock + 52 + 50 * ModuleIndex;
            std::memcpy(&ModuleRecord.Word0, entry, 2);
            for (int i = 0; i < 6; ++i) ModuleRecord.Bytes[i] = static_cast<std::uint8_t>(entry[12 + i] + 1);
            std::memcpy(ModuleRecord.Values, entry + 18, 24);
            Call(Slot.OnModuleRecord, &ModuleRecord);
            break;
        }
        case rcCurrentData:
            for (int i = 0; i < 6; ++i) {
                std::memcpy(&CurrentRecord.Groups[0][i], LastCopy + 4 * i, 4);
                std::memcpy(&CurrentRecord.Groups[1][i], LastCopy + 56 + 4 * i, 4);
                std::memcpy(&CurrentRecord.Groups[2][i], LastCopy + 80 + 4 * i, 4);
                std::memcpy(&CurrentRecord.Groups[3][i], LastCopy + 104 + 4 * i, 4);
            }
            Call(Slot.OnCurrentData, &CurrentRecord);
            break;
        case rcAccumulatedData:
            std::memcpy(&AccumulatedRecord, TotalsCopy, sizeof AccumulatedRecord);
            Call(Slot.OnAccumulatedData, &AccumulatedRecord);
            break;
        case rcArhiveCount:
            ArhiveCountRecord.FirstWord = ArhiveCounters[0];
            ArhiveCountRecord.HourCount = ArhiveCounters[1];
            ArhiveCountRecord.DayCount = ArhiveCounters[2];
            Call(Slot.OnArhiveCount, &ArhiveCountRecord);
            break;
        case rcArhiveT_Hour: Call(Slot.OnArhiveT_Hour, Values32, count); break;
        case rcArhiveU_Hour: Call(Slot.OnArhiveU_Hour, Values64, count); break;
        case rcArhiveM_Hour: Call(Slot.OnArhiveM_Hour, Values64, count); break;
        case rcArhiveE_Hour: Call(Slot.OnArhiveE_Hour, Values64, count); break;
        case rcArhiveTime_Hour: Call(Slot.OnArhiveTime_Hour, Values32, count); break;
        case rcArhiveStop_Hour: Call(Slot.OnArhiveStop_Hour, Values32, count); break;
        case rcArhiveT_Day: Call(Slot.OnArhiveT_Day, Values32, count); break;
        case rcArhiveU_Day: Call(Slot.OnArhiveU_Day, Values64, count); break;
        case rcArhiveM_Day: Call(Slot.OnArhiveM_Day, Values64, count); break;
        case rcArhiveE_Day: Call(Slot.OnArhiveE_Day, Values64, count); break;
        case rcArhiveTime_Day: Call(Slot.OnArhiveTime_Day, Values32, count); break;
        case rcArhiveStop_Day: Call(Slot.OnArhiveStop_Day, Values32, count); break;
        case rcSerialMismatch: ShowSerialMismatch(); break;
        case rcErrorHDev: Call(Slot.OnErrorHDev, ErrorHeadDev, 8u); break;
        case rcErrorHModule: Call(Slot.OnErrorHModule, ErrorHeadModule, 6u); break;
        case rcErrorDataDev: Call(Slot.OnErrorDataDev, ErrorRecords, 16u); break;
        case rcErrorDataModule: Call(Slot.OnErrorDataModule, ErrorRecords, 16u); break;
        case rcEditHModule: Call(Slot.OnEditHModule, &EditHeadModule); break;
        case rcEditDataModule: Call(Slot.OnEditDataModule, EditRecords, 16u); break;
        default: break;  // no request sets any other code
    }
}

}  // namespace q31
