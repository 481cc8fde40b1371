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
      nullByteTimer_(loop, 3000, false) {
    for (int i = 0; i < 4; ++i) ConditionTexts[i] = texts::kConditions[i];
    for (int i = 0; i < 31; ++i) TypeTexts[i] = texts::kDeviceTypes[i];
    timeOutTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TOut>(this);
    packageTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TPackage>(this);
    nullByteTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TNullByte>(this);
    nullByteTimer_.SetInterval(static_cast<unsigned>(NullByteInterval));
    nullByteTimer_.SetEnabled(true);
}

TPublicNetKs::~TPublicNetKs() {
    timeOutTimer_.SetEnabled(false);
    packageTimer_.SetEnabled(false);
    nullByteTimer_.SetEnabled(false);
}

void TPublicNetKs::SetMasterNetAddress(std::uint8_t address) {
    if (address >= 1 && address <= 254) MasterNetAddress = address;
}

void TPublicNetKs::SetSlaveNetAddress(std::uint8_t address) {
    if (address >= 1 && address <= 238) SlaveNetAddress = address;
}

void TPublicNetKs::SetTimeOut(int milliseconds) {
    timeOutTimer_.SetInterval(milliseconds > 0 ? static_cast<unsigned>(milliseconds) : 0u);
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
    // counts, and a read it left waiting must not deliver into this one.
    timeOutTimer_.SetEnabled(false);
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
        const std::uint8_t zero = 0;
        DeviceComm->WriteOnly(&zero, 1);
        loop_.Clock().Sleep(kNullBytePauseMs);
    }
}

void TPublicNetKs::TPackage() {
    BreakFlag = false;
    packageTimer_.SetEnabled(false);
    if (NullByteEnabled) NullBytePreamble();
    // The time-out covers the whole exchange from just before the write.
    timeOutTimer_.SetEnabled(false);
    timeOutTimer_.SetEnabled(true);
    if (!DeviceComm) return;
    DeviceComm->ReadTimeout = GetTimeOut();
    DeviceComm->Transmit_Packed(TransmitBuffer, TransmitLength);
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
    if (Repetition) {
        ++RepetitionCounter;
        if (OnRepetition) OnRepetition(RepetitionCounter);
        if (!BreakFlag) packageTimer_.SetEnabled(true);
    } else {
        if (OnTimeOut) OnTimeOut(this);
    }
}

void TPublicNetKs::ChecksumFailure() {
    ResetStage();
    // Nothing more of this exchange is wanted; the re-send starts afresh.
    if (DeviceComm) DeviceComm->StopReading();
    timeOutTimer_.SetEnabled(false);
    if (OnFalseCRC) OnFalseCRC(this);
    if (Repetition) {
        ++RepetitionCounter;
        if (OnRepetition) OnRepetition(RepetitionCounter);
        if (!BreakFlag) packageTimer_.SetEnabled(true);
    }
}

void TPublicNetKs::BreakTransmit() {
    BreakFlag = true;
    packageTimer_.SetEnabled(false);
    timeOutTimer_.SetEnabled(false);
    nullByteTimer_.SetEnabled(false);
}

void TPublicNetKs::GeneralReply(char* Data, const ReceiveEvent& event) {
    const auto* chunk = reinterpret_cast<const std::uint8_t*>(Data);
    switch (ReceiveStage) {
        case 0:  // our own packet coming back
            if (chunk[0] != SlaveNetAddress) return;
            ReceiveStage = 1;
            DeviceComm->LengthPacket = ReplyLength;
            return;
        case 1: {  // reply header: address and payload count
            if (chunk[0] != MasterNetAddress) return;
            const std::uint8_t payload = chunk[1];
            if (payload > frame::kMaxReplyPayload) {
                // L + 3 would not fit the body length: a bad reply.
                ChecksumFailure();
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
            if (!event) return;
            std::memcpy(ReceivePointer, chunk, BodyLength);
            if (frame::ChecksumMatches(ReceiveBuffer, BodyLength)) {
                ReceiveStage = 3;  // accepted: later chunks of this exchange are ignored
                event(static_cast<short>(BodyLength - 3), reinterpret_cast<char*>(ReceiveBuffer + 2));
            } else {
                ChecksumFailure();
            }
            return;
        }
        default:
            return;
    }
}

void TPublicNetKs::ReceivedData(char* Data) { GeneralReply(Data, OnReceiveExecuted); }
void TPublicNetKs::VarReceivedData(char* Data) { GeneralReply(Data, OnVarReceiveExecuted); }

void TPublicNetKs::OnlyTransmit(char* Data) {
    if (ReceiveStage == 0) {
        ReceiveStage = 1;
        DeviceComm->LengthPacket = ReplyLength;
        return;
    }
    if (ReceiveStage != 1) return;
    // The acknowledgement carries no address or checksum, so a read that
    // ended with nothing must not pass for one: the time-out decides.
    if (DeviceComm->BytesRead < 1) return;
    timeOutTimer_.SetEnabled(false);
    ReceiveStage = 3;
    if (OnReceiveExecuted) {
        ReceiveBuffer[0] = static_cast<std::uint8_t>(Data[0]);
        OnReceiveExecuted(1, reinterpret_cast<char*>(ReceiveBuffer));
    }
}

void TPublicNetKs::ReceivedIDDevice(char* Data) {
    const auto* chunk = reinterpret_cast<const std::uint8_t*>(Data);
    if (ReceiveStage == 0) {
        ReceiveStage = 1;
        DeviceComm->LengthPacket = ReplyLength;
        return;
    }
    if (ReceiveStage != 1) return;
    if (!OnReceivedIDDevice || chunk[0] != MasterNetAddress) return;
    timeOutTimer_.SetEnabled(false);
    std::memcpy(ReceiveBuffer, chunk, kIdReplyLength);
    if (frame::ChecksumMatches(ReceiveBuffer, kIdReplyLength - 2)) {
        ReceiveStage = 3;
        OnReceivedIDDevice(reinterpret_cast<SIDDevice*>(ReceiveBuffer + 2));
    } else {
        ChecksumFailure();
    }
}

void TPublicNetKs::ReciveMC(char* Data) {
    const auto* chunk = reinterpret_cast<const std::uint8_t*>(Data);
    if (ReceiveStage == 0) {
        ReceiveStage = 1;
        DeviceComm->LengthPacket = kModuleCounterReplyLength;
        return;
    }
    if (ReceiveStage != 1 || chunk[0] != MasterNetAddress) return;
    timeOutTimer_.SetEnabled(false);
    ReceiveStage = 3;
    if (OnReceiveModuleCounter) OnReceiveModuleCounter(static_cast<int>(static_cast<std::int8_t>(chunk[2])));
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

bool TPublicNetKs::SendWrite(std::uint8_t first, std::uint8_t command, const std::uint8_t* head,
                             std::size_t headBytes, const void* payload, std::size_t payloadBytes) {
    std::uint8_t data[256] = {};
    if (headBytes + payloadBytes > 255 || (payloadBytes && !payload)) return false;
    if (headBytes) std::memcpy(data, head, headBytes);
    if (payloadBytes) std::memcpy(data + headBytes, payload, payloadBytes);
    return SendRequest(first, command, data, headBytes + payloadBytes, kAckLength,
                       Continuation::Bind<&TPublicNetKs::OnlyTransmit>(this), 1);
}

void TPublicNetKs::Transmitpackage(std::uint8_t count, const void* source) {
    if (count && source) std::memcpy(TransmitBuffer, source, count);
    TransmitLength = count;
    EchoLength = count;
    ReplyLength = kAckLength;
    ArmRequest(Continuation::Bind<&TPublicNetKs::OnlyTransmit>(this), 1);
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
    const unsigned high = deviceType >> 8;
    return high < 21 ? TypeTexts[high] : texts::kUndefinedType;
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
