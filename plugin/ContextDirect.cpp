// The exchanges of a context session that are no row of the request table:
// a scan's identification and the service commands. Each packet goes out
// once: an address that stays silent, or a meter that answers damaged, ends
// the exchange at once, which is what a scan over silent addresses and an
// engineer at a meter both need.
#include <cstring>

#include "plugin/ContextSession.h"

namespace q31 {

namespace {

// A reply carries at most this many bytes (the count of an analog read).
constexpr std::uint32_t kMaxServiceRead = TPublicNetKs::kMaxReadCount;
// The ADC chain: the pointer record, the term calculation, two RAM reads.
constexpr std::uint32_t kAdcPackets = 4;
// Where the ADC chain's two blocks of values lie in its pointer record.
constexpr int kAdcFirstPointer = 6;
constexpr int kAdcSecondPointer = 14;

// How many numbers a command takes, and their ranges; false: no such command.
bool ServiceArguments(std::uint32_t command, std::uint32_t first, std::uint32_t second) {
    switch (command) {
        case Q31_SERVICE_SAVE:
        case Q31_SERVICE_ANALOG_START:
        case Q31_SERVICE_FLOW: return first <= 0xFF && second == 0;
        case Q31_SERVICE_ANALOG_READ: return first <= 0xFFFF && second >= 1 && second <= kMaxServiceRead;
        case Q31_SERVICE_ANALOG_END:
        case Q31_SERVICE_TERM:
        case Q31_SERVICE_PRESS:
        case Q31_SERVICE_ADC: return first == 0 && second == 0;
        default: return false;
    }
}

int StatusOf(RequestOutcome outcome) {
    switch (outcome) {
        case RequestOutcome::Done: return Q31_OK;
        case RequestOutcome::PortError: return Q31_PORT_ERROR;
        default: return Q31_NO_ANSWER;
    }
}

}  // namespace

int ContextSession::StartProbe(ContextCallback callback, void* user) {
    if (waiting_ || Session.Busy()) return Q31_ERR_BUSY;
    return Queue(Direct::Probe, callback, user);
}

int ContextSession::StartService(std::uint32_t command, std::uint32_t first, std::uint32_t second,
                                 ContextCallback callback, void* user) {
    if (waiting_ || Session.Busy()) return Q31_ERR_BUSY;
    if (!ServiceArguments(command, first, second)) return Q31_ERR_ARGUMENT;
    command_ = command;
    first_ = first;
    second_ = second;
    return Queue(Direct::Service, callback, user);
}

void ContextSession::BeginDirect() {
    Session.ApplyLink();
    TPublicNetKs_6x6& link = Session.PublicNetKs_6x61;
    link.Repetition = false;
    // Service replies are live measurements: two seldom agree.
    link.ReadConfirmation = direct_ == Direct::Probe ? confirm_ : ConfirmMode::Off;
    link.OnTimeOut = TPublicNetKs::SenderEvent::Bind<&ContextSession::DirectFailed>(this);
    link.OnFalseCRC = TPublicNetKs::SenderEvent::Bind<&ContextSession::DirectFailed>(this);
    link.OnReceivedIDDevice = Delegate<void(SIDDevice*)>::Bind<&ContextSession::Probed>(this);
    link.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&ContextSession::Replied>(this);
    directOutcome_ = RequestOutcome::NoAnswer;
    replyLength_ = 0;
    const std::uint32_t packets = direct_ == Direct::Service && command_ == Q31_SERVICE_ADC ? kAdcPackets : 2;
    guard_.SetInterval(static_cast<unsigned>(packets * static_cast<std::uint32_t>(quietBoundMs_)));
    guard_.SetEnabled(true);
    if (direct_ == Direct::Probe) {
        link.GetDeviceID();
    } else if (!SendService()) {
        // The arguments were checked; a packet that still cannot go out
        // found no port to go to.
        EndDirect(RequestOutcome::PortError);
    }
}

bool ContextSession::SendService() {
    TPublicNetKs_6x6& meter = Session.PublicNetKs_6x61;
    const auto value = static_cast<std::uint8_t>(first_);
    switch (command_) {
        case Q31_SERVICE_SAVE: return meter.SaveData(value);
        case Q31_SERVICE_ANALOG_START: return meter.AnalogStart(value);
        case Q31_SERVICE_ANALOG_READ:
            return meter.AnalogRead(static_cast<std::uint16_t>(first_), static_cast<std::uint8_t>(second_));
        case Q31_SERVICE_ANALOG_END: return meter.AnalogEnd();
        case Q31_SERVICE_FLOW: return meter.StartFlowCalculation(value);
        case Q31_SERVICE_TERM: return meter.StartTermCalculation();
        case Q31_SERVICE_PRESS: return meter.GetADCPressData();
        case Q31_SERVICE_ADC: meter.GetADCData(); return true;
        default: return false;
    }
}

void ContextSession::Probed(SIDDevice* ident) {
    if (direct_ != Direct::Probe) return;
    probed_.DevType = ident->DevType;
    probed_.IdWord2 = ident->IdWord2;
    probed_.SerialNumber = ident->SerialNumber;
    probed_.IdWord12 = ident->IdWord12;
    std::memset(probed_.Carried, 0, sizeof probed_.Carried);
    EndDirect(RequestOutcome::Done);
}

void ContextSession::Replied(short length, char* buffer) {
    if (direct_ != Direct::Service) return;
    // A read that ran out of time is handed on zero-filled, and the link
    // takes the first byte of such a read for an acknowledgement; a reply
    // whose last read came up short is none.
    if (Session.PublicDev.BytesRead < Session.PublicDev.ReadSize) {
        Session.PublicNetKs_6x61.BreakTransmit();
        EndDirect(RequestOutcome::NoAnswer);
        return;
    }
    std::uint32_t at = 0;
    if (command_ == Q31_SERVICE_ADC) {
        const std::uint16_t* pointers = Session.PublicNetKs_6x61.ADCPointers;
        for (const int i : {kAdcFirstPointer, kAdcSecondPointer}) {
            reply_[at++] = static_cast<std::uint8_t>(pointers[i] & 0xFF);
            reply_[at++] = static_cast<std::uint8_t>(pointers[i] >> 8);
        }
    }
    const std::uint32_t count = length > 0 ? static_cast<std::uint32_t>(length) : 0;
    const std::uint32_t room = static_cast<std::uint32_t>(sizeof reply_) - at;
    std::memcpy(reply_ + at, buffer, count < room ? count : room);
    replyLength_ = at + (count < room ? count : room);
    EndDirect(RequestOutcome::Done);
}

void ContextSession::DirectFailed(TComponent*) {
    if (direct_ != Direct::None) EndDirect(RequestOutcome::NoAnswer);
}

void ContextSession::GuardExpired() {
    guard_.SetEnabled(false);
    if (direct_ == Direct::None || deliver_.Enabled()) return;
    Session.PublicNetKs_6x61.BreakTransmit();
    Session.PublicDev.AbortRead();
    EndDirect(RequestOutcome::NoAnswer);
}

void ContextSession::EndDirect(RequestOutcome outcome) {
    // A damaged reply raises two events; the first says how it ended.
    if (deliver_.Enabled()) return;
    guard_.SetEnabled(false);
    directOutcome_ = outcome;
    deliver_.SetEnabled(true);
}

void ContextSession::RestoreLink() {
    direct_ = Direct::None;
    TPublicNetKs_6x6& link = Session.PublicNetKs_6x61;
    link.OnTimeOut = nullptr;
    link.OnFalseCRC = nullptr;
    link.OnReceiveExecuted = nullptr;
    link.ReadConfirmation = confirm_;
    link.Repetition = true;
}

void ContextSession::DeliverDirect() {
    deliver_.SetEnabled(false);
    const Direct direct = direct_;
    RestoreLink();
    // The line goes to the next session before the callback runs, as after
    // a request.
    line_.Leave(turn_);
    if (!waiting_ || direct == Direct::None) return;
    const Taken taken = TakeCallback();
    const ContextCallback callback = taken.callback;
    void* const user = taken.user;
    q31_result result{};
    result.status = StatusOf(directOutcome_);
    const bool done = directOutcome_ == RequestOutcome::Done;
    if (direct == Direct::Probe) {
        if (done) result.found_serial = probed_.SerialNumber;
        callback.As<q31_ident_cb>()(&result, done ? &probed_ : nullptr, user);
    } else {
        callback.As<q31_bytes_cb>()(&result, done ? reply_ : nullptr, done ? replyLength_ : 0, user);
    }
}

}  // namespace q31
