#include "link/TPublicNetKs.h"

#include <cstring>

#include "link/DeviceTexts.h"
#include "link/Frame.h"

namespace q31 {

namespace {
constexpr std::uint8_t kCmdCtrSum = 0x07;
constexpr std::uint8_t kCmdModuleCounter = 0x08;
constexpr std::uint8_t kCmdDeviceId = 0x0F;
constexpr std::uint8_t kCmdReadRam = 0x10;
constexpr std::uint8_t kCmdWriteRam = 0x20;
constexpr std::uint8_t kCmdReadFlash = 0x30;
constexpr std::uint8_t kCmdReadFlashLarge = 0x31;
constexpr std::uint8_t kCmdWriteFlash = 0x40;
constexpr std::uint8_t kCmdWriteFlashLarge = 0x41;
constexpr std::uint8_t kCmdPassword = 0x50;
constexpr std::uint8_t kCmdSetTime = 0x51;
constexpr std::uint8_t kCmdKeyPress = 0x53;
constexpr std::uint8_t kCmdDisplay = 0x54;
constexpr std::uint8_t kCmdClearFlashF149 = 0x55;
constexpr std::uint8_t kCmdWriteFlashF149 = 0x5A;
// Reads of the heat meter's own command set, which confirmed reads cover too.
constexpr std::uint8_t kCmdAnalogRead = 0x82;
constexpr std::uint8_t kCmdAdcPress = 0x86;
constexpr std::uint8_t kCmdReadArchiveV2 = 0x90;

constexpr std::uint8_t kIdReplyLength = 19;
constexpr std::uint8_t kModuleCounterReplyLength = 6;
constexpr std::uint8_t kGeneralHeaderLength = 2;
constexpr std::uint8_t kAckLength = 1;
constexpr int kNullBytePauseMs = 100;
}  // namespace

TPublicNetKs::TPublicNetKs(TComponent* owner, MessageLoop& loop)
    : TComponent(owner),
      loop_(loop),
      timeOutTimer_(loop, 1000, false),
      packageTimer_(loop, 1, false),
      nullByteTimer_(loop, 3000, false),
      drainTimer_(loop, kDefaultTimeOutMs, false) {
    for (int i = 0; i < 4; ++i) ConditionTexts[i] = texts::kConditions[i];
    for (int i = 0; i < 31; ++i) TypeTexts[i] = texts::kDeviceTypes[i];
    timeOutTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TOut>(this);
    packageTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TPackage>(this);
    nullByteTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TNullByte>(this);
    drainTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TDrain>(this);
    nullByteTimer_.SetInterval(static_cast<unsigned>(NullByteInterval));
    nullByteTimer_.SetEnabled(true);
}

TPublicNetKs::~TPublicNetKs() {
    timeOutTimer_.SetEnabled(false);
    packageTimer_.SetEnabled(false);
    nullByteTimer_.SetEnabled(false);
    drainTimer_.SetEnabled(false);
}

void TPublicNetKs::SetMasterNetAddress(std::uint8_t address) {
    if (address >= 1 && address <= 254) MasterNetAddress = address;
}

void TPublicNetKs::SetSlaveNetAddress(std::uint8_t address) {
    if (address >= 1 && address <= 238) SlaveNetAddress = address;
}

void TPublicNetKs::SetTimeOut(int milliseconds) {
    // A timer of 0 ms would never fire, and reads bounded by it would end at
    // once: every reply would be lost and the request would hang.
    timeOutTimer_.SetInterval(static_cast<unsigned>(milliseconds > 0 ? milliseconds : kDefaultTimeOutMs));
}

void TPublicNetKs::SetTimePackage(int milliseconds) {
    packageTimer_.SetInterval(milliseconds > 0 ? static_cast<unsigned>(milliseconds) : 0u);
}

std::uint16_t TPublicNetKs::CRC(const void* data, std::uint8_t count) {
    return frame::Checksum(static_cast<const std::uint8_t*>(data), count);
}

void TPublicNetKs::ResetStage() {
    ReceiveStage = Receiving_back ? 0 : 1;
    if (DeviceComm) DeviceComm->LengthPacket = Receiving_back ? EchoLength : ReplyLength;
}

void TPublicNetKs::ArmRequest(Continuation continuation, int readCount) {
    // A new request abandons the one before it: its time-out no longer
    // counts, and a read it left waiting must not deliver into this one. Its
    // reply may still be on its way, so the line is let fall quiet first.
    timeOutTimer_.SetEnabled(false);
    drainTimer_.SetEnabled(false);
    draining_ = false;
    if (exchange_ == Exchange::Open) {
        if (sent_) lineDirty_ = true;
        EndExchange(Q31_END_ABANDONED);
    } else if (exchange_ == Exchange::Accepted) {
        EndExchange(Q31_END_ACCEPTED);
    }
    ++armed_;
    exchange_ = Exchange::Open;
    sent_ = false;
    resends_ = 0;
    confirmHeld_ = false;
    continuation_ = continuation;
    Trace(Q31_TRACE_REQUEST_START, 0, 0, TransmitBuffer, TransmitLength);
    if (!DeviceComm) return;
    DeviceComm->AbortRead();
    DeviceComm->OnReceivePacket = continuation;
    DeviceComm->SetReadinCount(readCount);
    ResetStage();
    DeviceComm->SetReceiveType(rtPacket);
    packageTimer_.SetEnabled(true);
}

void TPublicNetKs::NullBytePreamble() {
    // A full interval starts with every packet; the byte 0x00 goes out only
    // when the line has been quiet for at least one interval.
    nullByteTimer_.SetEnabled(false);
    nullByteTimer_.SetInterval(static_cast<unsigned>(NullByteInterval > 0 ? NullByteInterval : 0));
    const bool due = NullBytePending;
    NullBytePending = false;
    nullByteTimer_.SetEnabled(true);
    if (due && DeviceComm) {
        static constexpr std::uint8_t zero = 0;
        if (DeviceComm->WriteOnly(&zero, 1)) Trace(Q31_TRACE_WRITE, 0, 0, &zero, 1);
        else Trace(Q31_TRACE_PORT_ERROR, Q31_PORT_WRITE, 0, nullptr, 0, DeviceComm->WriteError);
        loop_.Clock().Sleep(kNullBytePauseMs);
    }
}

void TPublicNetKs::TPackage() {
    BreakFlag = false;
    packageTimer_.SetEnabled(false);
    // A different packet must take no answer to an earlier one, so it waits
    // until the line has been quiet for the full quiet time. The same packet
    // sent again after a failure may take any whole answer to an earlier
    // send of it, but not the tail of one still coming in: it goes out once
    // nothing has arrived for a time-out (at once after a silent time-out).
    if (lineDirty_ && !SameAsLastSent()) {
        BeginDrain(QuietTime(), true);
        return;
    }
    if (resendDue_ && loop_.Now() - lastByteAt_ < Micros{GetTimeOut()} * 1000) {
        BeginDrain(GetTimeOut(), false);
        return;
    }
    SendPacket();
}

void TPublicNetKs::SendPacket() {
    if (NullByteEnabled) NullBytePreamble();
    // The time-out covers the whole exchange from just before the write.
    timeOutTimer_.SetEnabled(false);
    timeOutTimer_.SetEnabled(true);
    if (!DeviceComm) return;
    DeviceComm->OnReceivePacket = continuation_;
    DeviceComm->ReadTimeout = GetTimeOut();
    resendDue_ = false;
    std::memcpy(lastSent_, TransmitBuffer, TransmitLength);
    lastSentLength_ = TransmitLength;
    sent_ = true;
    DeviceComm->Transmit_Packed(TransmitBuffer, TransmitLength);
    if (DeviceComm->TransmitOK) Trace(Q31_TRACE_WRITE, 0, 0, TransmitBuffer, TransmitLength);
    else Trace(Q31_TRACE_PORT_ERROR, Q31_PORT_WRITE, 0, nullptr, 0, DeviceComm->WriteError);
}

bool TPublicNetKs::SameAsLastSent() const {
    return lastSentLength_ == TransmitLength && std::memcmp(lastSent_, TransmitBuffer, TransmitLength) == 0;
}

int TPublicNetKs::QuietTime() const { return kQuietTimeOuts * GetTimeOut(); }

void TPublicNetKs::BeginDrain(int quiet, bool settles) {
    draining_ = true;
    drainSettles_ = settles;
    drainDeadline_ = loop_.Now() + Micros{GetTimeOut()} * 1000 * kDrainLimit;
    drainTimer_.SetEnabled(false);
    drainTimer_.SetInterval(static_cast<unsigned>(quiet));
    drainTimer_.SetEnabled(true);
    if (!DeviceComm) return;
    DeviceComm->OnReceivePacket = Continuation::Bind<&TPublicNetKs::DrainedChunk>(this);
    DeviceComm->ReadTimeout = quiet;
    DeviceComm->Listen(1);
}

void TPublicNetKs::DrainedChunk(char* Data) {
    if (!draining_ || !DeviceComm) return;
    if (DeviceComm->ReadError != 0) {
        // A failing port has nothing to drain; the quiet timer ends the wait.
        Trace(Q31_TRACE_PORT_ERROR, Q31_PORT_READ, 0, nullptr, 0, DeviceComm->ReadError);
        return;
    }
    if (DeviceComm->BytesRead > 0) {
        lastByteAt_ = loop_.Now();
        Trace(Q31_TRACE_DISCARDED, 0, 0, reinterpret_cast<const std::uint8_t*>(Data), DeviceComm->BytesRead);
        // Every byte starts the quiet time again, up to the overall bound.
        if (loop_.Now() < drainDeadline_) {
            drainTimer_.SetEnabled(false);
            drainTimer_.SetEnabled(true);
        }
    }
    DeviceComm->Listen(1);
}

void TPublicNetKs::TDrain() {
    drainTimer_.SetEnabled(false);
    if (!draining_) return;
    draining_ = false;
    if (drainSettles_) lineDirty_ = false;
    if (DeviceComm) DeviceComm->AbortRead();
    SendPacket();
}

void TPublicNetKs::TNullByte() {
    if (!NullByteEnabled || WorkType == wtIrDA) return;
    if (NullBytePending) nullByteTimer_.SetEnabled(false);
    NullBytePending = true;
}

void TPublicNetKs::TOut() {
    ResetStage();
    timeOutTimer_.SetEnabled(false);
    // The exchange is over: a read still waiting would only deliver late bytes.
    if (DeviceComm) DeviceComm->AbortRead();
    // The answer may still come, after the next packet has gone out.
    lineDirty_ = true;
    Trace(Q31_TRACE_TIMEOUT, 0, resends_);
    if (Repetition) {
        Resend(true);
    } else {
        EndExchange(Q31_END_TIMEOUT);
        if (OnTimeOut) OnTimeOut(this);
    }
}

void TPublicNetKs::Resend(bool mayHaveTail) {
    ++RepetitionCounter;
    ++resends_;
    resendDue_ = mayHaveTail;
    const unsigned armed = armed_;
    const int count = resends_;
    if (OnRepetition) OnRepetition(RepetitionCounter);
    // The owner may have stopped the packet (a send limit) or armed another
    // from its handler; only a packet that really goes out again is a re-send.
    if (BreakFlag || armed != armed_) return;
    Trace(Q31_TRACE_RESEND, 0, count);
    packageTimer_.SetEnabled(true);
}

void TPublicNetKs::ChecksumFailure(int reason) {
    Trace(Q31_TRACE_REJECTED, reason, resends_);
    ResetStage();
    // Nothing more of this exchange is wanted; the re-send starts afresh. The
    // rest of a garbled frame may still be arriving.
    if (DeviceComm) DeviceComm->StopReading();
    lineDirty_ = true;
    timeOutTimer_.SetEnabled(false);
    if (OnFalseCRC) OnFalseCRC(this);
    if (Repetition) {
        Resend(true);
    } else {
        EndExchange(Q31_END_TIMEOUT);
    }
}

void TPublicNetKs::FailExchange(int reason) {
    Trace(Q31_TRACE_REJECTED, reason, resends_);
    if (exchange_ == Exchange::Accepted) exchange_ = Exchange::Open;
    ResetStage();
    if (DeviceComm) DeviceComm->StopReading();
    timeOutTimer_.SetEnabled(false);
    if (Repetition) {
        Resend(false);  // the reply was whole: nothing of it can follow
    } else {
        EndExchange(Q31_END_TIMEOUT);
        if (OnTimeOut) OnTimeOut(this);
    }
}

void TPublicNetKs::BreakTransmit() {
    BreakFlag = true;
    packageTimer_.SetEnabled(false);
    timeOutTimer_.SetEnabled(false);
    nullByteTimer_.SetEnabled(false);
    if (draining_) {
        draining_ = false;
        drainTimer_.SetEnabled(false);
        if (DeviceComm) DeviceComm->AbortRead();
    }
    if (exchange_ == Exchange::Open) {
        if (sent_) lineDirty_ = true;
        EndExchange(Q31_END_BROKEN);
    }
}

void TPublicNetKs::EndExchange(int outcome) {
    if (exchange_ == Exchange::Idle) return;
    exchange_ = Exchange::Idle;
    Trace(Q31_TRACE_REQUEST_END, outcome, resends_);
}

void TPublicNetKs::Accept(const std::uint8_t* reply, int length) {
    timeOutTimer_.SetEnabled(false);
    ReceiveStage = 3;  // accepted: later chunks of this exchange are ignored
    if (exchange_ == Exchange::Open) exchange_ = Exchange::Accepted;
    Trace(Q31_TRACE_ACCEPTED, 0, resends_, reply, length);
}

void TPublicNetKs::Accepted(unsigned armed) {
    // The reply's event has run. Unless it armed the next packet (which ended
    // this exchange already) or failed the reply, the exchange is over.
    if (armed == armed_ && exchange_ == Exchange::Accepted) EndExchange(Q31_END_ACCEPTED);
}

bool TPublicNetKs::IsConfirmedRead() const {
    if (ReadConfirmation == ConfirmMode::Off || TransmitLength < 3) return false;
    // Only commands that read: sending one twice changes nothing in the meter.
    switch (TransmitBuffer[2]) {
        case kCmdCtrSum:
        case kCmdDeviceId:
        case kCmdReadRam:
        case kCmdReadFlash:
        case kCmdReadFlashLarge:
        case kCmdAnalogRead:
        case kCmdAdcPress:
        case kCmdReadArchiveV2: return true;
        default: return false;
    }
}

bool TPublicNetKs::Confirmed(const std::uint8_t* data, int length) {
    if (length < 0 || length > static_cast<int>(sizeof confirmData_)) length = 0;
    const auto n = static_cast<std::size_t>(length);
    if (confirmHeld_ && confirmLength_ == length && std::memcmp(confirmData_, data, n) == 0) {
        confirmHeld_ = false;
        return true;
    }
    if (confirmHeld_) Trace(Q31_TRACE_REJECTED, Q31_REJECT_UNCONFIRMED, resends_);
    // Hold this reply and read the same packet again; the next reply must agree.
    std::memcpy(confirmData_, data, n);
    confirmLength_ = length;
    confirmHeld_ = true;
    timeOutTimer_.SetEnabled(false);
    ResetStage();
    if (DeviceComm) DeviceComm->StopReading();
    packageTimer_.SetEnabled(true);
    return false;
}

void TPublicNetKs::EmitTrace(int kind, int reason, int count, const std::uint8_t* bytes, int length,
                             int osError) const {
    TQ31TraceEvent event{};
    event.time_us = loop_.Now();
    event.kind = kind;
    event.reason = reason;
    event.count = count;
    event.os_error = osError;
    event.bytes = bytes;
    event.length = bytes ? length : 0;
    OnTrace(event);
}

void TPublicNetKs::NoteChunk(const char* Data) {
    if (DeviceComm && DeviceComm->BytesRead > 0) lastByteAt_ = loop_.Now();
    if (!OnTrace || !DeviceComm) return;
    if (DeviceComm->ReadError != 0)
        EmitTrace(Q31_TRACE_PORT_ERROR, Q31_PORT_READ, 0, nullptr, 0, DeviceComm->ReadError);
    EmitTrace(Q31_TRACE_READ, 0, 0, reinterpret_cast<const std::uint8_t*>(Data), DeviceComm->BytesRead, 0);
}

int TPublicNetKs::ChunkFault() const {
    return DeviceComm && DeviceComm->BytesRead < DeviceComm->ReadSize ? Q31_REJECT_SHORT : Q31_REJECT_ADDRESS;
}

void TPublicNetKs::GeneralReply(char* Data, const ReceiveEvent& event) {
    const auto* chunk = reinterpret_cast<const std::uint8_t*>(Data);
    NoteChunk(Data);
    switch (ReceiveStage) {
        case 0:  // our own packet coming back
            if (chunk[0] != SlaveNetAddress) {
                Trace(Q31_TRACE_REJECTED, ChunkFault(), resends_);
                return;
            }
            ReceiveStage = 1;
            DeviceComm->LengthPacket = ReplyLength;
            return;
        case 1: {  // reply header: address and payload count
            if (chunk[0] != MasterNetAddress) {
                Trace(Q31_TRACE_REJECTED, ChunkFault(), resends_);
                return;
            }
            const std::uint8_t payload = chunk[1];
            if (payload > frame::kMaxReplyPayload) {
                // L + 3 would not fit the body length: a bad reply.
                ChecksumFailure(Q31_REJECT_LENGTH);
                return;
            }
            ReceiveBuffer[0] = chunk[0];
            ReceiveBuffer[1] = payload;
            ReceivePointer = ReceiveBuffer + 2;
            BodyLength = static_cast<std::uint8_t>(payload + 3);
            DeviceComm->LengthPacket = BodyLength;
            ReceiveStage = 2;
            return;
        }
        case 2: {  // body: payload, further byte, checksum
            timeOutTimer_.SetEnabled(false);
            if (!event) {
                // Nobody wants the reply: the exchange ends here, its bytes read.
                EndExchange(Q31_END_ACCEPTED);
                return;
            }
            std::memcpy(ReceivePointer, chunk, BodyLength);
            if (!frame::ChecksumMatches(ReceiveBuffer, BodyLength)) {
                ChecksumFailure(DeviceComm->BytesRead < BodyLength ? Q31_REJECT_SHORT : Q31_REJECT_CHECKSUM);
                return;
            }
            // The data to agree on: the count and the payload.
            if (IsConfirmedRead() && !Confirmed(ReceiveBuffer + 1, BodyLength - 2)) return;
            Accept(ReceiveBuffer, BodyLength + 2);
            const unsigned armed = armed_;
            event(static_cast<short>(BodyLength - 3), reinterpret_cast<char*>(ReceiveBuffer + 2));
            Accepted(armed);
            return;
        }
        default: return;
    }
}

void TPublicNetKs::ReceivedData(char* Data) { GeneralReply(Data, OnReceiveExecuted); }
void TPublicNetKs::VarReceivedData(char* Data) { GeneralReply(Data, OnVarReceiveExecuted); }

void TPublicNetKs::OnlyTransmit(char* Data) {
    NoteChunk(Data);
    if (ReceiveStage == 0) {
        ReceiveStage = 1;
        DeviceComm->LengthPacket = ReplyLength;
        return;
    }
    if (ReceiveStage != 1) return;
    // The acknowledgement carries no address or checksum, so a read that
    // ended with nothing must not pass for one: the time-out decides.
    if (DeviceComm->BytesRead < 1) {
        Trace(Q31_TRACE_REJECTED, Q31_REJECT_SHORT, resends_);
        return;
    }
    ReceiveBuffer[0] = static_cast<std::uint8_t>(Data[0]);
    Accept(ReceiveBuffer, 1);
    const unsigned armed = armed_;
    if (OnReceiveExecuted) OnReceiveExecuted(1, reinterpret_cast<char*>(ReceiveBuffer));
    Accepted(armed);
}

void TPublicNetKs::ReceivedIDDevice(char* Data) {
    const auto* chunk = reinterpret_cast<const std::uint8_t*>(Data);
    NoteChunk(Data);
    if (ReceiveStage == 0) {
        ReceiveStage = 1;
        DeviceComm->LengthPacket = ReplyLength;
        return;
    }
    if (ReceiveStage != 1) return;
    if (!OnReceivedIDDevice) return;
    if (chunk[0] != MasterNetAddress) {
        Trace(Q31_TRACE_REJECTED, ChunkFault(), resends_);
        return;
    }
    timeOutTimer_.SetEnabled(false);
    std::memcpy(ReceiveBuffer, chunk, kIdReplyLength);
    if (!frame::ChecksumMatches(ReceiveBuffer, kIdReplyLength - 2)) {
        ChecksumFailure(DeviceComm->BytesRead < kIdReplyLength ? Q31_REJECT_SHORT : Q31_REJECT_CHECKSUM);
        return;
    }
    // The data to agree on: the identification record.
    if (IsConfirmedRead() && !Confirmed(ReceiveBuffer + 2, static_cast<int>(sizeof(SIDDevice)))) return;
    Accept(ReceiveBuffer, kIdReplyLength);
    const unsigned armed = armed_;
    OnReceivedIDDevice(reinterpret_cast<SIDDevice*>(ReceiveBuffer + 2));
    Accepted(armed);
}

void TPublicNetKs::ReciveMC(char* Data) {
    const auto* chunk = reinterpret_cast<const std::uint8_t*>(Data);
    NoteChunk(Data);
    if (ReceiveStage == 0) {
        ReceiveStage = 1;
        DeviceComm->LengthPacket = kModuleCounterReplyLength;
        return;
    }
    if (ReceiveStage != 1) return;
    if (chunk[0] != MasterNetAddress) {
        Trace(Q31_TRACE_REJECTED, ChunkFault(), resends_);
        return;
    }
    Accept(chunk, kModuleCounterReplyLength);
    const unsigned armed = armed_;
    if (OnReceiveModuleCounter) OnReceiveModuleCounter(static_cast<int>(static_cast<std::int8_t>(chunk[2])));
    Accepted(armed);
}

bool TPublicNetKs::SendRequest(std::uint8_t first, std::uint8_t command, const std::uint8_t* data,
                               std::size_t dataBytes, std::uint8_t replyLength, Continuation continuation,
                               int readCount) {
    const std::size_t length =
        frame::BuildRequest(TransmitBuffer, sizeof TransmitBuffer, first, command, data, dataBytes, MasterNetAddress);
    if (length == 0) return false;
    TransmitLength = static_cast<std::uint8_t>(length);
    EchoLength = TransmitLength;
    ReplyLength = replyLength;
    ArmRequest(continuation, readCount);
    return true;
}

bool TPublicNetKs::SendRead(std::uint8_t command, const std::uint8_t* data, std::size_t dataBytes) {
    return SendRequest(SlaveNetAddress, command, data, dataBytes, kGeneralHeaderLength,
                       Continuation::Bind<&TPublicNetKs::ReceivedData>(this), 2);
}

bool TPublicNetKs::SendWrite(std::uint8_t first, std::uint8_t command, const std::uint8_t* head, std::size_t headBytes,
                             const void* payload, std::size_t payloadBytes) {
    std::uint8_t data[256] = {};
    if (headBytes + payloadBytes > 255 || (payloadBytes && !payload)) return false;
    if (headBytes) std::memcpy(data, head, headBytes);
    if (payloadBytes) std::memcpy(data + headBytes, payload, payloadBytes);
    return SendRequest(first, command, data, headBytes + payloadBytes, kAckLength,
                       Continuation::Bind<&TPublicNetKs::OnlyTransmit>(this), 1);
}

bool TPublicNetKs::Transmitpackage(std::uint8_t count, const void* source) {
    // Without a source the previous packet would go out in its place.
    if (count && !source) return false;
    if (count) std::memcpy(TransmitBuffer, source, count);
    TransmitLength = count;
    EchoLength = count;
    ReplyLength = kAckLength;
    ArmRequest(Continuation::Bind<&TPublicNetKs::OnlyTransmit>(this), 1);
    return true;
}

void TPublicNetKs::GetDeviceID() {
    SendRequest(SlaveNetAddress, kCmdDeviceId, nullptr, 0, kIdReplyLength,
                Continuation::Bind<&TPublicNetKs::ReceivedIDDevice>(this), 1);
}

bool TPublicNetKs::ReadRAM(std::uint16_t address, std::uint8_t count) {
    if (count > kMaxReadCount) return false;
    std::uint8_t d[3];
    frame::PutLe16(d, address);
    d[2] = count;
    return SendRead(kCmdReadRam, d, sizeof d);
}

bool TPublicNetKs::ReadFlash(std::uint16_t address, std::uint8_t count) {
    if (count > kMaxReadCount) return false;
    std::uint8_t d[3];
    frame::PutLe16(d, address);
    d[2] = count;
    return SendRead(kCmdReadFlash, d, sizeof d);
}

bool TPublicNetKs::ReadFlashLarge(std::uint32_t address, std::uint8_t count) {
    if (count > kMaxReadCount) return false;
    std::uint8_t d[5];
    frame::PutLe32(d, address);
    d[4] = count;
    return SendRead(kCmdReadFlashLarge, d, sizeof d);
}

bool TPublicNetKs::WriteRAM(std::uint16_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteCount) return false;
    std::uint8_t h[3];
    frame::PutLe16(h, address);
    h[2] = count;
    return SendWrite(SlaveNetAddress, kCmdWriteRam, h, sizeof h, data, count);
}

bool TPublicNetKs::WriteFlash(std::uint16_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteCount) return false;
    std::uint8_t h[3];
    frame::PutLe16(h, address);
    h[2] = count;
    return SendWrite(SlaveNetAddress, kCmdWriteFlash, h, sizeof h, data, count);
}

bool TPublicNetKs::WriteFlashLarge(std::uint32_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteLargeCount) return false;
    std::uint8_t h[5];
    frame::PutLe32(h, address);
    h[4] = count;
    return SendWrite(SlaveNetAddress, kCmdWriteFlashLarge, h, sizeof h, data, count);
}

bool TPublicNetKs::WriteFlashF149(std::uint16_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteCount) return false;
    // The F149 flash takes the count before the address.
    std::uint8_t h[3];
    h[0] = count;
    frame::PutLe16(h + 1, address);
    return SendWrite(kF149Address, kCmdWriteFlashF149, h, sizeof h, data, count);
}

bool TPublicNetKs::ClearFlashF149() { return SendWrite(SlaveNetAddress, kCmdClearFlashF149, nullptr, 0, nullptr, 0); }

bool TPublicNetKs::SetPassword(std::uint32_t value) {
    std::uint8_t d[4];
    frame::PutLe32(d, value);
    return SendWrite(SlaveNetAddress, kCmdPassword, d, sizeof d, nullptr, 0);
}

bool TPublicNetKs::IDCOMAND(std::uint32_t value) { return SetPassword(value); }

bool TPublicNetKs::SetTime(const SNextTime* time) {
    if (!time) return false;
    return SendWrite(SlaveNetAddress, kCmdSetTime, time->Bytes, sizeof time->Bytes, nullptr, 0);
}

bool TPublicNetKs::KeyPress(std::uint8_t key) { return SendWrite(SlaveNetAddress, kCmdKeyPress, &key, 1, nullptr, 0); }

bool TPublicNetKs::GetDisplayData() { return SendRead(kCmdDisplay, nullptr, 0); }

bool TPublicNetKs::GetCtrSUM(std::uint16_t value) {
    std::uint8_t d[2];
    frame::PutLe16(d, value);
    return SendRead(kCmdCtrSum, d, sizeof d);
}

bool TPublicNetKs::GetModuleCounter(std::uint16_t deviceType) {
    if (!Multic(deviceType)) {
        if (OnReceiveModuleCounter) OnReceiveModuleCounter(0);
        return true;
    }
    return SendRequest(SlaveNetAddress, kCmdModuleCounter, nullptr, 0, kModuleCounterReplyLength,
                       Continuation::Bind<&TPublicNetKs::ReciveMC>(this), 1);
}

bool TPublicNetKs::ModemCommand(const char* text, std::size_t length) {
    if (length > 255 || (length && !text)) return false;
    if (NullByteEnabled) NullBytePreamble();
    if (!DeviceComm) return true;
    // The text goes out unframed and is not kept: TransmitBuffer still holds
    // the last packet for a re-send. The channel keeps the read settings the
    // previous request left, and no event reports the outcome.
    DeviceComm->Transmit_Packed(text, static_cast<std::uint8_t>(length));
    return true;
}

const char* TPublicNetKs::GetDeviceTypeStr(std::uint16_t deviceType) const {
    return texts::DeviceTypeText(TypeTexts, deviceType);
}

const char* TPublicNetKs::GetDeviceConditionStr(std::uint16_t condition) const {
    const unsigned high = condition >> 8;
    return high <= 3 ? ConditionTexts[high] : texts::kUndefinedCondition;
}

bool TPublicNetKs::IncludeDevices(std::uint16_t deviceType) { return (deviceType >> 8) == 8; }

bool TPublicNetKs::Multic(std::uint16_t deviceType) {
    const unsigned high = deviceType >> 8;
    return high == 11 || high == 16 || high == 20;
}

}  // namespace q31
