// The plug-in's hidden form: it owns the serial channel, the heat-meter
// component and the dispatcher timer, keeps the host's slot record and the
// state of the request in flight, and calls the host back.
//
// Everything runs on the host's thread that pumps messages. One request is
// in flight at a time; a new request re-arms the link and abandons the old.
#pragma once

#include <cstdint>

#include "publicQ31.h"
#include "link/SIDDevice.h"
#include "meter/TPublicNetKs_6x6.h"
#include "platform/TComponent.h"
#include "platform/TTimer.h"
#include "serial/TPublicDevCom.h"

namespace q31 {

// Export status bytes.
enum : std::uint8_t {
    kStarted = 0,
    kSlotNotReady = 1,
    kWrongDeviceType = 2,
    kBadArgument = 3,
};

// Request codes: they select the dispatcher branch and the host callback.
enum RequestCodes : std::int32_t {
    rcID = 0,
    rcModuleCount = 1,
    rcModuleRecord = 2,
    rcCurrentData = 3,
    rcAccumulatedData = 4,
    rcArhiveCount = 5,
    rcArhiveT_Hour = 6,
    rcArhiveU_Hour = 7,
    rcArhiveM_Hour = 8,
    rcArhiveE_Hour = 9,
    rcArhiveTime_Hour = 10,
    rcArhiveStop_Hour = 11,
    rcSerialMismatch = 100,
    rcArhiveT_Day = 106,
    rcArhiveU_Day = 107,
    rcArhiveM_Day = 108,
    rcArhiveE_Day = 109,
    rcArhiveTime_Day = 110,
    rcArhiveStop_Day = 111,
    rcErrorHDev = 120,
    rcErrorHModule = 121,
    rcErrorDataDev = 122,
    rcErrorDataModule = 123,
    rcEditHModule = 124,
    rcEditDataModule = 125,
};

class TFXB : public TComponent {
public:
    static constexpr std::uint16_t kServedDeviceType = 5120;
    static constexpr std::uint16_t kModuleBlockRam = 0xFE00;
    static constexpr int kArchiveValues = 2000;

    explicit TFXB(MessageLoop& loop = MessageLoop::Main());
    ~TFXB() override;

    // Exports.
    void InitSlot(const TQ31Slot* slot);
    std::uint8_t GetID();
    std::uint8_t GetModuleCount(const SDevIdent* dev);
    std::uint8_t GetModuleRecord(const SDevIdent* dev, std::uint8_t module);
    std::uint8_t GetCurrentData(const SDevIdent* dev);
    std::uint8_t GetAccumulatedData(const SDevIdent* dev);
    std::uint8_t GetArhiveCount(const SDevIdent* dev);
    // Series 0..11: Time, Stop, T, U, M, E hourly, then the same daily.
    std::uint8_t GetArhiveSeries(int series, const SDevIdent* dev, std::uint8_t module, std::uint32_t start);
    std::uint8_t GetErrorHDev(const SDevIdent* dev);
    std::uint8_t GetErrorHModule(const SDevIdent* dev, std::uint8_t module);
    std::uint8_t GetErrorDataDev(const SDevIdent* dev, std::uint8_t block);
    std::uint8_t GetErrorDataModule(const SDevIdent* dev, std::uint8_t module, std::uint8_t block);
    std::uint8_t GetEditHModule(const SDevIdent* dev, std::uint8_t module);
    std::uint8_t GetEditDataModule(const SDevIdent* dev, std::uint8_t module);

    // Event handlers and continuations.
    void Timer1Timer();
    void KS_PUBLIC1ReceivedIDDevice(SIDDevice* IDDevice);
    void PublicNetKs_6x61TimeOut(TComponent* Sender);
    // The archive requests: counters, then one series of values.
    void ArhiveCountIdent(SIDDevice* IDDevice);
    void ArhiveCountReceived(SArhives* Arhives);
    void ArhiveSeriesIdent(SIDDevice* IDDevice);
    void ArhiveSeriesCounters(SArhives* Arhives);
    void ArhiveSeriesValues32(int cout, std::int32_t* Arrray);
    void ArhiveSeriesValues64(int cout, std::int64_t* Arrray);
    // Bound in the form's design to OnArhivesV2HourDLong; does nothing (each
    // archive request binds its own handler).
    void PublicNetKs_6x61ArhivesV2HourDLong(int cout, std::int64_t* Arrray);
    void ModuleBlockIdent(SIDDevice* IDDevice);
    void ModuleBlockReceived(short Length, char* Buffer);
    // The current-data and accumulated-data requests: identification, the
    // RAM pointer record, then the record it points to.
    void CurrentDataIdent(SIDDevice* IDDevice);
    void CurrentDataPointers(SPointerRAM* PointerRAM);
    void CurrentDataLast(SLastMeasure* Last);
    void AccumulatedDataIdent(SIDDevice* IDDevice);
    void AccumulatedDataPointers(SPointerRAM* PointerRAM);
    void AccumulatedDataTotals(SModuleSumALLM* SummAll);
    // The log requests: one identification continuation for all six, and
    // the handlers of the component's log events.
    void LogIdent(SIDDevice* IDDevice);
    void PublicNetKs_6x61ErrorH1V2(SHead* H1);
    void PublicNetKs_6x61ErrorH6V2(SHead* H1);
    void PublicNetKs_6x61Error1V2(SErrorRecordV2* Err1);
    void PublicNetKs_6x61Error6V2(SErrorRecordV2* Err1);
    void PublicNetKs_6x61EditH1V2(SHead* H1);
    void PublicNetKs_6x61ReceiveEditV2(SEventRecordV2* Edit);

    // Components.
    TPublicDevCom PublicDev;
    TPublicNetKs_6x6 PublicNetKs_6x61;
    TTimer Timer1;

    // Results of the module and measurement requests.
    SModuleRecord ModuleRecord{};
    std::uint8_t LastCopy[152] = {};
    std::int32_t ModuleIndex = 0;
    std::uint8_t ModuleBlock[392] = {};
    SCurrentData CurrentRecord{};
    std::uint8_t TotalsCopy[248] = {};
    SAccumulatedData AccumulatedRecord{};
    // Results of the archive requests.
    std::uint32_t ArhiveCounters[3] = {};
    SArhiveCount ArhiveCountRecord{};
    std::uint8_t ArhiveModule = 0;
    std::uint32_t ArhiveStart = 0;
    std::uint16_t ValueCount = 0;
    std::int32_t Values32[kArchiveValues] = {};
    std::int64_t Values64[kArchiveValues] = {};
    // Results of the log requests.
    std::uint8_t ReqNumber = 0;
    std::uint8_t ReqNumber2 = 0;
    std::uint16_t ErrorHeadDev[8] = {};
    std::uint16_t EditHeadModule = 0;
    std::uint16_t ErrorHeadModule[6] = {};
    std::uint8_t ErrorRecords[16 * 8] = {};
    std::uint8_t EditRecords[16 * 16] = {};
    // Request state shared by every request.
    SDevIdent DevIdent{};
    SIDDevice FoundIdent{};
    std::int32_t Step = 0;
    std::int32_t RequestCode = 0;
    std::uint16_t RamBase = 0;
    TQ31Slot Slot{};
    bool SlotReady = false;

protected:
    // The request preamble. Begin: slot test, copy of the host's record,
    // device-type test (returns 0 to go on). Start: link set-up from the slot
    // record, identification with `firstContinuation` as its handler.
    std::uint8_t BeginRequest(const SDevIdent* dev);
    std::uint8_t StartRequest(Delegate<void(SIDDevice*)> firstContinuation);
    void SetUpLink();
    // The serial-number check: true when the meter on the line is the one
    // the host named; otherwise the request ends with the mismatch message.
    bool SerialMatches(const SIDDevice* found);
    // Hands a finished request to the dispatcher's next tick.
    void Deliver(std::int32_t requestCode);
    void ShowSerialMismatch();
    // Binds the log handlers to the component's events, as the form's
    // design has them.
    void BindLogHandlers();
    std::uint8_t StartLogRequest(std::int32_t requestCode);

private:
    // Which of the two module requests the block chain finishes.
    std::int32_t moduleRequestCode_ = rcModuleCount;
    // Which of the twelve archive series the current request reads (0..11).
    int arhiveSeries_ = 0;
    // Which log request waits for the identification.
    std::int32_t logRequestCode_ = rcErrorHDev;
};

}  // namespace q31
