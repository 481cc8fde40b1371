// One meter on one line: the serial channel, the heat-meter component, the
// dispatcher timer and the state of the request in flight.
//
// A session runs every request of the request table (RequestRow.h) the same
// way: argument checks, identification, serial-number check, the row's
// component calls, the row's copy-out into the host record, and delivery on
// the next tick of Timer1, outside the component's handlers. How the result
// reaches a host is the owner's business: it is told through OnResult.
//
// Any number of sessions share one MessageLoop and its thread; each has its
// own components, timers and buffers, so a silent meter on one session only
// holds up that session.
#pragma once

#include <cstdint>

#include "link/ConfirmMode.h"
#include "link/SIDDevice.h"
#include "meter/TPublicNetKs_6x6.h"
#include "platform/SerialPort.h"
#include "plugin/RequestCodes.h"
#include "plugin/RequestRow.h"
#include "publicQ31.h"
#include "runtime/Delegate.h"
#include "runtime/TComponent.h"
#include "runtime/TTimer.h"
#include "serial/TPublicDevCom.h"

namespace q31 {

class MeterSession : public TComponent {
public:
    static constexpr std::uint16_t kServedDeviceType = 5120;
    static constexpr std::uint16_t kModuleBlockRam = 0xFE00;
    static constexpr int kArchiveValues = TPublicNetKs_6x6::kArchiveValues;
    // Re-sends are not limited.
    static constexpr int kUnlimitedSends = 0;
    // The link's send delay: the pause before each packet goes out.
    static constexpr int kSendDelayMs = 10;

    using ResultEvent = Delegate<void(const RequestRow* row, RequestOutcome outcome)>;

    explicit MeterSession(MessageLoop& loop = MessageLoop::Main());
    ~MeterSession() override;
    MeterSession(const MeterSession&) = delete;
    MeterSession& operator=(const MeterSession&) = delete;

    // The line, applied at the start of every request.
    void SetLink(PortHandle port, bool echo, int timeOutMs);
    // Puts the line's settings on the components.
    void ApplyLink();
    // Re-sends of one packet before the request ends with NoAnswer; 0: no limit.
    int SendLimit = kUnlimitedSends;
    // A failed write ends the request with PortError instead of re-sending.
    bool StopOnPortError = false;
    // When the line's read packets are confirmed; Off until the owner chooses.
    void SetConfirmMode(ConfirmMode mode) { PublicNetKs_6x61.ReadConfirmation = mode; }
    // The meter's address on the line.
    void SetAddress(std::uint8_t slave) { PublicNetKs_6x61.SetSlaveNetAddress(slave); }
    // Who hears of the line's events and of an archive read's progress; null: nobody.
    void SetTrace(TPublicNetKs::TraceEvent trace) { PublicNetKs_6x61.OnTrace = trace; }
    void SetProgress(IProgressControl* progress) { PublicNetKs_6x61.ProgressControl = progress; }
    // Whether an answer to an earlier send may still come.
    bool LineUnsettled() const { return PublicNetKs_6x61.LineUnsettled(); }

    // Starts `id`. `dev` is the identity the host expects (not read for ID);
    // `first` and `second` are the request's numbers. Returns kStarted, or
    // kBadArgument / kWrongDeviceType with nothing sent.
    std::uint8_t Request(RequestId id, const SDevIdent* dev, std::uint32_t first = 0, std::uint32_t second = 0);
    // What Request would return for these arguments, touching nothing.
    static std::uint8_t Check(RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second);
    // Stores a request's numbers where its continuations find them.
    void KeepArguments(const RequestRow& row, std::uint32_t first, std::uint32_t second);
    // A request is started and its delivery has not run yet.
    bool Busy() const { return active_ != nullptr; }
    // The meter of the current request has sent its identification.
    bool MeterAnswered() const { return answered_; }
    // Ends the request in flight without delivering anything.
    void Cancel();
    // The result data for a row's shape, as delivered.
    ResultView View(ResultShape shape);

    // Raised by the dispatcher: the row that ended (null for a code no
    // request sets) and how. A handler may start the next request.
    ResultEvent OnResult;
    // Raised at once when an archive start lies past the newest record; the
    // request then ends without a delivery. Unassigned: the request is
    // delivered with BeyondNewest.
    Delegate<void()> OnStartBeyondNewest;

    // The dispatcher.
    void Timer1Timer();

    // Continuations and steps, named in the rows of the request table.
    void KS_PUBLIC1ReceivedIDDevice(SIDDevice* IDDevice);
    void Identified(SIDDevice* idDevice);
    void LinkRepetition(int sends);
    // Module block: three RAM reads.
    void ReadModuleBlock();
    void ModuleBlockReceived(short length, char* buffer);
    void CopyModuleRecord();
    // Current values and totals, through the RAM pointer record.
    void ReadPointers();
    void PointersReceived(SPointerRAM* pointers);
    void ReadLast();
    void LastReceived(SLastMeasure* last);
    void CopyCurrentData();
    void ReadTotals();
    void TotalsReceived(SModuleSumALLM* totals);
    void CopyAccumulatedData();
    // Archive counters and series.
    void ReadCounters();
    void CountersReceived(SArhives* counters);
    void CopyArchiveCount();
    void ReadSeries();
    void SeriesValues32(int count, std::int32_t* values);
    void SeriesValues64(int count, std::int64_t* values);
    void PublicNetKs_6x61ArhivesV2HourDLong(int count, std::int64_t* array);
    // Logs: one command each; the handlers copy into the host's shape.
    void ReadErrorHeadDev();
    void ReadErrorHeadModule();
    void ReadErrorBlockDev();
    void ReadErrorBlockModule();
    void ReadEditHead();
    void ReadEditBlock();
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

private:
    // Runs the active row's step `stage`, or finishes when there is none.
    void RunStep(int stage);
    void Next() { RunStep(stage_ + 1); }
    // Hands a finished request to the dispatcher's next tick.
    void Deliver(std::int32_t requestCode);
    void Finish(RequestOutcome outcome);
    void StopExchange(RequestOutcome outcome);

    const RequestRow* active_ = nullptr;
    RequestOutcome outcome_ = RequestOutcome::Done;
    int stage_ = 0;
    bool answered_ = false;
    // The line.
    PortHandle port_{};
    bool echo_ = true;
    int timeOutMs_ = 2000;
    // The packet whose re-sends are being counted, and how many it had.
};

}  // namespace q31
