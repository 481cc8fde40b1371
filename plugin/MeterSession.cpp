#include "plugin/MeterSession.h"

#include <cstring>

namespace q31 {

MeterSession::MeterSession(MessageLoop& loop)
    : PublicDev(this, loop), PublicNetKs_6x61(this, loop), Timer1(loop, 10, false) {
    // The settings the form has always stored.
    PublicNetKs_6x61.DeviceComm = &PublicDev;
    PublicNetKs_6x61.SetMasterNetAddress(240);
    PublicNetKs_6x61.SetSlaveNetAddress(201);
    PublicNetKs_6x61.SetReceiving_back(true);
    PublicNetKs_6x61.SetTimeOut(2000);
    PublicNetKs_6x61.SetTimePackage(kSendDelayMs);
    PublicNetKs_6x61.OnReceivedIDDevice =
        Delegate<void(SIDDevice*)>::Bind<&MeterSession::KS_PUBLIC1ReceivedIDDevice>(this);
    PublicNetKs_6x61.OnRepetition = Delegate<void(int)>::Bind<&MeterSession::LinkRepetition>(this);
    PublicNetKs_6x61.OnArhivesV2HourDLong =
        TPublicNetKs_6x6::ArrayEvent<std::int64_t>::Bind<&MeterSession::PublicNetKs_6x61ArhivesV2HourDLong>(this);
    // The log handlers stay bound for good, as the form's design has them.
    auto& meter = PublicNetKs_6x61;
    meter.OnErrorH1V2 = TPublicNetKs_6x6::HeadEvent::Bind<&MeterSession::PublicNetKs_6x61ErrorH1V2>(this);
    meter.OnErrorH6V2 = TPublicNetKs_6x6::HeadEvent::Bind<&MeterSession::PublicNetKs_6x61ErrorH6V2>(this);
    meter.OnError1V2 = Delegate<void(SErrorRecordV2*)>::Bind<&MeterSession::PublicNetKs_6x61Error1V2>(this);
    meter.OnError6V2 = Delegate<void(SErrorRecordV2*)>::Bind<&MeterSession::PublicNetKs_6x61Error6V2>(this);
    meter.OnEditH1V2 = TPublicNetKs_6x6::HeadEvent::Bind<&MeterSession::PublicNetKs_6x61EditH1V2>(this);
    meter.OnReceiveEditV2 = Delegate<void(SEventRecordV2*)>::Bind<&MeterSession::PublicNetKs_6x61ReceiveEditV2>(this);
    Timer1.OnTimer = Delegate<void()>::Bind<&MeterSession::Timer1Timer>(this);
}

MeterSession::~MeterSession() {
    Timer1.SetEnabled(false);
    PublicNetKs_6x61.BreakTransmit();
    PublicDev.AbortRead();
}

void MeterSession::SetLink(PortHandle port, bool echo, int timeOutMs) {
    port_ = port;
    echo_ = echo;
    timeOutMs_ = timeOutMs;
}

void MeterSession::ApplyLink() {
    PublicNetKs_6x61.NullByteEnabled = false;
    PublicDev.ComHandle = port_;
    PublicNetKs_6x61.SetTimeOut(timeOutMs_);
    PublicDev.EchoRead = echo_;
    PublicNetKs_6x61.SetReceiving_back(echo_);
}

void MeterSession::KeepArguments(const RequestRow& row, std::uint32_t first, std::uint32_t second) {
    switch (row.keep) {
        case ArgKeep::None: break;
        case ArgKeep::ModuleIndex: ModuleIndex = static_cast<std::int32_t>(first & 0xFF) - 1; break;
        case ArgKeep::ArchiveArgs:
            ArhiveModule = static_cast<std::uint8_t>(first - 1);
            ArhiveStart = second;
            break;
        case ArgKeep::ReqNumbers:
            ReqNumber = static_cast<std::uint8_t>(first - 1);
            if (row.second.Used()) ReqNumber2 = static_cast<std::uint8_t>(second - 1);
            break;
    }
}

std::uint8_t MeterSession::Request(RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second) {
    const RequestRow& row = RequestRowOf(id);
    if (row.checksSerial && dev) std::memcpy(&DevIdent, dev, sizeof DevIdent);
    const std::uint8_t checked = Check(id, dev, first, second);
    if (checked != kStarted) return checked;
    KeepArguments(row, first, second);
    active_ = &row;
    outcome_ = RequestOutcome::Done;
    stage_ = 0;
    answered_ = false;
    ApplyLink();
    // Every request starts with no reply handler: one that an abandoned
    // request left installed must neither run nor be parked as the form's.
    PublicNetKs_6x61.OnReceiveExecuted = nullptr;
    PublicNetKs_6x61.OnReceivedIDDevice =
        row.checksSerial ? Delegate<void(SIDDevice*)>::Bind<&MeterSession::Identified>(this)
                         : Delegate<void(SIDDevice*)>::Bind<&MeterSession::KS_PUBLIC1ReceivedIDDevice>(this);
    PublicNetKs_6x61.GetDeviceID();
    return kStarted;
}

std::uint8_t MeterSession::Check(RequestId id, const SDevIdent* dev, std::uint32_t first, std::uint32_t second) {
    const RequestRow& row = RequestRowOf(id);
    if (!row.checksSerial) return kStarted;
    if (!dev) return kBadArgument;
    SDevIdent ident;
    std::memcpy(&ident, dev, sizeof ident);
    if (ident.DevType != kServedDeviceType) return kWrongDeviceType;
    if (!row.first.Accepts(first) || !row.second.Accepts(second)) return kBadArgument;
    return kStarted;
}

void MeterSession::KS_PUBLIC1ReceivedIDDevice(SIDDevice* IDDevice) {
    answered_ = true;
    // Bytes 10-11 of the identity keep what the host's last record carried.
    DevIdent.DevType = IDDevice->DevType;
    DevIdent.IdWord2 = IDDevice->IdWord2;
    DevIdent.SerialNumber = IDDevice->SerialNumber;
    DevIdent.IdWord12 = IDDevice->IdWord12;
    Deliver(rcID);
}

void MeterSession::Identified(SIDDevice* idDevice) {
    answered_ = true;
    std::memcpy(&FoundIdent, idDevice, sizeof FoundIdent);
    if (FoundIdent.SerialNumber != DevIdent.SerialNumber) {
        outcome_ = RequestOutcome::OtherMeter;
        Deliver(rcSerialMismatch);
        return;
    }
    if (!active_) return;
    if (active_->setsRamBase) RamBase = kModuleBlockRam;
    RunStep(0);
}

void MeterSession::RunStep(int stage) {
    stage_ = stage;
    if (!active_) return;
    // The module block's reply handler reads which part it is from Step.
    Step = stage;
    const SessionStep step = stage < kMaxSteps ? active_->steps[stage] : nullptr;
    if (step) {
        (this->*step)();
    } else {
        Deliver(active_->code);
    }
}

void MeterSession::Deliver(std::int32_t requestCode) {
    RequestCode = requestCode;
    Timer1.SetEnabled(true);
}

void MeterSession::Finish(RequestOutcome outcome) {
    outcome_ = outcome;
    Timer1.SetEnabled(true);
}

void MeterSession::StopExchange(RequestOutcome outcome) {
    // BreakTransmit keeps the link from sending the packet again; the read
    // the failure left is of no use either.
    PublicNetKs_6x61.BreakTransmit();
    PublicDev.AbortRead();
    Finish(outcome);
}

void MeterSession::LinkRepetition(int) {
    if (!active_ || (SendLimit <= kUnlimitedSends && !StopOnPortError)) return;
    if (StopOnPortError && PublicNetKs_6x61.SendFailed()) {
        StopExchange(RequestOutcome::PortError);
        return;
    }
    if (SendLimit <= kUnlimitedSends) return;
    // The limit is per packet: the link counts the re-sends since it was
    // armed that went out; this one would be one more.
    if (PublicNetKs_6x61.Resends() >= SendLimit) StopExchange(RequestOutcome::NoAnswer);
}

void MeterSession::Cancel() {
    Timer1.SetEnabled(false);
    PublicNetKs_6x61.BreakTransmit();
    PublicDev.AbortRead();
    PublicNetKs_6x61.OnReceiveExecuted = nullptr;
    active_ = nullptr;
    outcome_ = RequestOutcome::Done;
}

void MeterSession::Timer1Timer() {
    Timer1.SetEnabled(false);
    RequestOutcome outcome = outcome_;
    const RequestRow* row = active_;
    if (RequestCode == rcSerialMismatch && outcome == RequestOutcome::Done) outcome = RequestOutcome::OtherMeter;
    if (outcome == RequestOutcome::Done) {
        // Delivery follows the code, as the dispatcher always has.
        row = RequestRowForCode(RequestCode);
        if (row && row->copyOut) (this->*row->copyOut)();
    }
    outcome_ = RequestOutcome::Done;
    active_ = nullptr;
    if (OnResult) OnResult(row, outcome);
}

ResultView MeterSession::View(ResultShape shape) {
    return VisitShape(shape, [this](auto s) { return decltype(s)::In(*this); });
}

}  // namespace q31
