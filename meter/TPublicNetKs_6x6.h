// The heat-meter component: the link component plus the meter's memory map
// and its multi-packet commands (archives, logs, totals, measurements).
//
// A multi-packet command borrows the link's OnReceiveExecuted for its own
// receive routine and gives it back when it ends; there is one parking place
// (SavedReceiveExecuted), so one such command runs at a time. Every record
// and buffer is a member: an event's pointer points into this component and
// stays valid for its lifetime, with new contents after the next read of the
// same kind.
#pragma once

#include <cstdint>

#include "link/TPublicNetKs.h"
#include "meter/ArchivePlan.h"
#include "meter/FlashAddressMap.h"
#include "meter/HeatMeterRecords.h"
#include "meter/IProgressControl.h"

namespace q31 {

struct ArchiveRead;

class TPublicNetKs_6x6 : public TPublicNetKs {
public:
    static constexpr int kArchiveValues = 2000;
    static constexpr int kErrorImageSize = 7280;
    static constexpr int kErrorImageV2Size = 7776;
    static constexpr int kEditImageSize = 2064;
    static constexpr int kEditImageV2Size = 2320;

    template <typename T>
    using ArrayEvent = Delegate<void(int count, T* array)>;
    using ByteEvent = Delegate<void(char Data)>;
    using HeadEvent = Delegate<void(SHead* H1)>;

    explicit TPublicNetKs_6x6(TComponent* owner = nullptr, MessageLoop& loop = MessageLoop::Main());
    ~TPublicNetKs_6x6() override;

    // The process-wide memory map.
    static void SetFlashAddressDefault() { q31::SetFlashAddressDefault(); }
    static void SetFlashAddress(const SDevQ31* d) { q31::SetFlashAddress(d); }

    // Archives.
    void GetFArhives();
    void GetArrayHourLong(std::uint32_t Address, std::uint32_t Start, std::int32_t Count);
    void GetArrayDayLong(std::uint32_t Address, std::uint32_t Start, std::int32_t Count);
    void GetArrayHourShort(std::uint32_t Address, std::uint32_t Start, std::int32_t Count);
    void GetArrayDayShort(std::uint32_t Address, std::uint32_t Start, std::int32_t Count);
    void GetArrayHourShortV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count, std::int32_t Size);
    void GetArrayDayShortV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count, std::int32_t Size);
    void GetArrayHourLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count, std::int32_t Size);
    void GetArrayDayLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count, std::int32_t Size);
    void GetArrayHourDLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count, std::int32_t Size);
    void GetArrayDayDLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count, std::int32_t Size);
    bool ReadArhiveV2(std::uint32_t Address, std::uint8_t Length, std::uint8_t ElementSize);
    bool TestArhiveV2(std::uint8_t first, std::uint32_t second, std::uint16_t third);
    void ReceiveFArhives(short Length, char* Buffer);
    void ReceiveArrayHourLong(short Length, char* Buffer);
    void ReceiveArrayDayLong(short Length, char* Buffer);
    void ReceiveArrayHourShort(short Length, char* Buffer);
    void ReceiveArrayDayShort(short Length, char* Buffer);
    void ReceiveArrayHourShortV2(short Length, char* Buffer);
    void ReceiveArrayDayShortV2(short Length, char* Buffer);
    void ReceiveArrayHourLongV2(short Length, char* Buffer);
    void ReceiveArrayDayLongV2(short Length, char* Buffer);
    void ReceiveArrayHourDLongV2(short Length, char* Buffer);
    void ReceiveArrayDayDLongV2(short Length, char* Buffer);

    // Error and edit logs. Modules and blocks count from 0.
    void GetErrorH1();
    void GetErrorH1V2();
    void GetErrorH6(std::int8_t module);
    void GetErrorH6V2(std::int8_t module);
    void GetErr1(std::int8_t block);
    void GetErr1V2(std::int8_t block);
    void GetErr6(std::int8_t module, std::int8_t block);
    void GetErr6V2(std::int8_t module, std::int8_t block);
    void GetEditH1(std::int8_t module);
    void GetEditH1V2(std::int8_t module);
    void GetEdit(std::int8_t module);
    void GetEditV2(std::int8_t module);
    void ClearSetChecEditCounter();
    void ReceiveErrorH1(short Length, char* Buffer);
    void ReceiveErrorH1V2(short Length, char* Buffer);
    void ReceiveErrorH6(short Length, char* Buffer);
    void ReceiveErrorH6V2(short Length, char* Buffer);
    void ReceiveErr1(short Length, char* Buffer);
    void ReceiveErr1V2(short Length, char* Buffer);
    void ReceiveErr6(short Length, char* Buffer);
    void ReceiveErr6V2(short Length, char* Buffer);
    void ReceiveEditH1(short Length, char* Buffer);
    void ReceiveEditH1V2(short Length, char* Buffer);
    void ReceiveEdit(short Length, char* Buffer);
    void ReceiveEditV2(short Length, char* Buffer);
    void ReceiveClearSetChecEditCounter(short Length, char* Buffer);

    // Totals, last measurement, RAM pointers and clears.
    void GetFPointerRAM(int unused = 0);
    void GetLast();
    void GetDeviceFDW();
    void GetFB_6x6();
    void GetStopTimeHour();
    void GetModuleSumHour();
    void V2GetAllSumm();
    void GetFAllSumm();
    void ClearAllSumm();
    void ClearSummDay();
    void ClearHead();
    void ReceiveRAMPointer1(short Length, char* Buffer);
    void ReceiveLast(short Length, char* Buffer);
    void ReceiveDeviceFDW(short Length, char* Buffer);
    void ReceiveFB_6x6(short Length, char* Buffer);
    void ReceiveStopTimeHour(short Length, char* Buffer);
    void ReceiveSumHour(short Length, char* Buffer);
    void ReceiveV2AllSumm(short Length, char* Buffer);
    void ReceiveFAllSumm(short Length, char* Buffer);
    void ReceiveClearAllSumm(short Length, char* Buffer);
    void ReceiveClearSummDay(short Length, char* Buffer);
    void ReceiveClearHead(short Length, char* Buffer);

    // Measurement and calibration.
    bool SaveData(std::uint8_t value);
    bool AnalogStart(std::uint8_t value);
    bool AnalogRead(std::uint16_t address, std::uint8_t count);
    bool AnalogEnd();
    bool StartFlowCalculation(std::uint8_t value);
    bool StartTermCalculation();
    bool GetADCPressData();
    void GetADCData();
    void ReceiveRAMPointer(short Length, char* Buffer);
    void ReceiveADCStart(short Length, char* Buffer);
    void ReceiveADCF(short Length, char* Buffer);
    void ReceiveADCUL(short Length, char* Buffer);

    // Members, in the order the component has always had them.
    std::int32_t RecordSize = 0;
    SModuleSumALLM ModuleSumALLM{};
    std::uint8_t EditImage[kEditImageSize] = {};
    std::uint8_t EditImageV2[kEditImageV2Size] = {};
    std::int32_t StepCounter = 0;
    std::int32_t CurrentModule = 0;
    std::int32_t CurrentBlock = 0;
    std::uint32_t ChunkBytes = 0;
    std::uint32_t ReceivedCount = 0;
    std::uint32_t RingBase = 0;
    std::uint32_t ReadOffset = 0;
    std::uint32_t FirstRemaining = 0;
    std::uint32_t SecondRemaining = 0;
    SPointerRAM RAMPointers{};
    UModuleSumHoure ModuleSumHoure{};
    SLastMeasure LastMeasure{};
    SAllSumm AllSumm{};
    S6x6FlagsByte FlagsByte{};
    SStopTimeHour StopTimeHour{};
    SDeviceFlagsDWord DeviceFlags{};
    std::int32_t LongBuffer[kArchiveValues] = {};
    std::int64_t DLongBuffer[kArchiveValues] = {};
    std::int16_t ShortBuffer[kArchiveValues] = {};
    std::uint8_t ErrorImage[kErrorImageSize] = {};
    std::uint8_t ErrorImageV2[kErrorImageV2Size] = {};
    // Zero bytes for the clear commands; never written after construction.
    std::uint8_t ZeroBuffer[1000] = {};

    Delegate<void(SPointerRAM* PointerRAM)> OnPointerRAM;
    Delegate<void(SDeviceFlagsDWord* DeviceFDW)> OnDeviceFDW;
    Delegate<void(UModuleSumHoure* ModuleSumHoure)> OnModuleSumHoure;
    Delegate<void(SLastMeasure* Last)> OnLast;
    Delegate<void(SAllSumm* AllSumm)> OnFAllSumm;
    Delegate<void(void* StopTimeHour)> OnStopTimeHour;
    Delegate<void(SArhives* Arhives)> OnArhives;
    ArrayEvent<std::int32_t> OnArhivesHourLong;
    ArrayEvent<std::int32_t> OnArhivesDayLong;
    ArrayEvent<std::int16_t> OnArhivesHourShort;
    ArrayEvent<std::int16_t> OnArhivesDayShort;
    ByteEvent OnClearAllSumm;
    ByteEvent OnClearSummDay;
    HeadEvent OnErrorH1;
    HeadEvent OnErrorH6;
    HeadEvent OnErrorH1V2;
    HeadEvent OnErrorH6V2;
    Delegate<void(SErrorRecord* Err1)> OnError1;
    Delegate<void(SErrorRecord* Err1)> OnError6;
    Delegate<void(SErrorRecordV2* Err1)> OnError1V2;
    Delegate<void(SErrorRecordV2* Err1)> OnError6V2;
    ByteEvent OnClearHead;
    Delegate<void(S6x6FlagsByte* pFB6x6)> OnFB6x6;
    ByteEvent OnClearSetChecEditCounter;
    HeadEvent OnEditH1;
    HeadEvent OnEditH1V2;
    Delegate<void(SEventRecord* Edit)> OnReceiveEdit;
    Delegate<void(SEventRecordV2* Edit)> OnReceiveEditV2;
    ArrayEvent<std::int16_t> OnArhivesV2HourShort;
    Delegate<void(SModuleSumALLM* SummAll)> OnV2AllSumm;
    ArrayEvent<std::int32_t> OnArhivesV2HourLong;
    ArrayEvent<std::int32_t> OnArhivesV2DayLong;
    ArrayEvent<std::int64_t> OnArhivesV2HourDLong;
    ArrayEvent<std::int64_t> OnArhivesV2DayDLong;
    ArrayEvent<std::int16_t> OnArhivesV2DayShort;

    ReceiveEvent SavedReceiveExecuted;
    SArhives Arhives{};
    std::uint16_t ADCPointers[16] = {};
    IProgressControl* ProgressControl = nullptr;
    std::int32_t ADCValues[16] = {};

protected:
    // Borrowing OnReceiveExecuted: park the owner's handler and install one
    // of this component's receive routines, or give the owner's back.
    // A command of this component that was never answered still has its
    // routine installed, and the owner's handler is already parked: that
    // routine is replaced, not parked, or the owner's handler would be lost
    // and the dead routine would come back when this command ends.
    template <auto Routine>
    void Borrow() {
        if (OnReceiveExecuted.Object() != this) SavedReceiveExecuted = OnReceiveExecuted;
        OnReceiveExecuted = ReceiveEvent::Bind<Routine>(this);
    }
    template <auto Routine>
    void Switch() {
        OnReceiveExecuted = ReceiveEvent::Bind<Routine>(this);
    }
    void GiveBack() { OnReceiveExecuted = SavedReceiveExecuted; }

    // The archive array reads share one planner and one receive routine; an
    // ArchiveRead (meter/ArchiveRead.h) says which ring, packets, buffer and
    // event. Each read's own receive routine forwards to ReceiveArchive.
    template <auto Routine>
    void StartArchiveRead(const ArchiveRead& read, std::uint32_t address, std::uint32_t start, std::int32_t count);
    void ReceiveArchive(const ArchiveRead& read, short length, char* buffer);
    void TakeArchiveStep(const ArchiveRead& read, const ArchiveStep& step);
    ArchiveGeometry ArchiveGeometryOf(const ArchiveRead& read) const;
    ArchiveCursor LoadArchiveCursor() const;
    void SaveArchiveCursor(const ArchiveCursor& cursor);
    // Replies in a row that carried no whole value (the rest of the transfer
    // state is in the public members).

public:
    // The tables the totals' drivers run (TotalsAndClears.cpp).
    struct ChunkPlan;
    struct ClearPlan;

protected:
    // The totals' two drivers, each told by a table of its packets: a record
    // read in chunks, and a clear as a run of zero-byte writes.
    void IssueChunk(const ChunkPlan& plan, int index);
    // Stores the chunk of the step counter; true when it was the last one and
    // OnReceiveExecuted is the owner's again.
    bool ChunkArrived(const ChunkPlan& plan, void* record, short length, const char* buffer);
    void StartClear(const ClearPlan& plan);
    // Issues the clear's next write; true when the clear is over and
    // OnReceiveExecuted is the owner's again.
    bool ClearAcknowledged(const ClearPlan& plan);

    // The error and edit logs: every log read is one row of a table
    // (ErrorEditLogs.cpp) and these two routines do the work for all rows.
    enum class LogPiece : std::uint8_t;
    template <auto Receive>
    void StartLogRead(LogPiece piece, std::int32_t module, std::int32_t block);
    void ReceiveLogRead(LogPiece piece, short length, char* buffer);

    // Sends one of the single measurement commands (0x80 to 0x86) with its
    // data bytes; false, sending nothing, when they do not fit the command.
    bool SendMeasurement(std::uint8_t command, const std::uint8_t* data, std::size_t dataBytes);
};

}  // namespace q31
