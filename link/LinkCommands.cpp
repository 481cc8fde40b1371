// The commands every meter of the family understands: memory, flash, clock,
// password, keys, display, control sum and module counter; and the text
// lookups. Each fills the packet and arms it through the engine.

#include <cstring>

#include "link/CommandBytes.h"
#include "link/DeviceTexts.h"
#include "link/Frame.h"
#include "link/TPublicNetKs.h"

namespace q31 {

namespace {
constexpr std::uint8_t kIdReplyLength = 19;
constexpr std::uint8_t kModuleCounterReplyLength = 6;
constexpr std::uint8_t kGeneralHeaderLength = 2;
constexpr std::uint8_t kAckLength = 1;
}  // namespace

bool TPublicNetKs::SendRequest(std::uint8_t first, std::uint8_t command, const std::uint8_t* data,
                               std::size_t dataBytes, std::uint8_t replyLength, Continuation continuation,
                               int readCount, ReplyCheck check, bool confirmable) {
    const std::size_t length =
        frame::BuildRequest(TransmitBuffer, sizeof TransmitBuffer, first, command, data, dataBytes, MasterNetAddress);
    if (length == 0) return false;
    TransmitLength = static_cast<std::uint8_t>(length);
    EchoLength = TransmitLength;
    ReplyLength = replyLength;
    Arm(continuation, readCount, check, confirmable);
    return true;
}

bool TPublicNetKs::SendRead(std::uint8_t command, const std::uint8_t* data, std::size_t dataBytes, ReplyCheck check,
                            bool confirmable) {
    return SendRequest(SlaveNetAddress, command, data, dataBytes, kGeneralHeaderLength,
                       Continuation::Bind<&TPublicNetKs::ReceivedData>(this), 2, check, confirmable);
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
    // A packet without data always frames.
    (void)SendRequest(SlaveNetAddress, cmd::kDeviceId, nullptr, 0, kIdReplyLength,
                      Continuation::Bind<&TPublicNetKs::ReceivedIDDevice>(this), 1, {}, true);
}

bool TPublicNetKs::ReadRAM(std::uint16_t address, std::uint8_t count) {
    return ReadRAM(address, count, ReplyCheck::Exactly(count));
}

bool TPublicNetKs::ReadRAM(std::uint16_t address, std::uint8_t count, ReplyCheck check) {
    if (count > kMaxReadCount) return false;
    std::uint8_t d[3];
    frame::PutLe16(d, address);
    d[2] = count;
    return SendRead(cmd::kReadRam, d, sizeof d, check);
}

bool TPublicNetKs::ReadFlash(std::uint16_t address, std::uint8_t count) {
    if (count > kMaxReadCount) return false;
    std::uint8_t d[3];
    frame::PutLe16(d, address);
    d[2] = count;
    return SendRead(cmd::kReadFlash, d, sizeof d, ReplyCheck::Exactly(count));
}

bool TPublicNetKs::ReadFlashLarge(std::uint32_t address, std::uint8_t count) {
    return ReadFlashLarge(address, count, ReplyCheck::Exactly(count));
}

bool TPublicNetKs::ReadFlashLarge(std::uint32_t address, std::uint8_t count, ReplyCheck check) {
    if (count > kMaxReadCount) return false;
    std::uint8_t d[5];
    frame::PutLe32(d, address);
    d[4] = count;
    return SendRead(cmd::kReadFlashLarge, d, sizeof d, check);
}

bool TPublicNetKs::WriteRAM(std::uint16_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteCount) return false;
    std::uint8_t h[3];
    frame::PutLe16(h, address);
    h[2] = count;
    return SendWrite(SlaveNetAddress, cmd::kWriteRam, h, sizeof h, data, count);
}

bool TPublicNetKs::WriteFlash(std::uint16_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteCount) return false;
    std::uint8_t h[3];
    frame::PutLe16(h, address);
    h[2] = count;
    return SendWrite(SlaveNetAddress, cmd::kWriteFlash, h, sizeof h, data, count);
}

bool TPublicNetKs::WriteFlashLarge(std::uint32_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteLargeCount) return false;
    std::uint8_t h[5];
    frame::PutLe32(h, address);
    h[4] = count;
    return SendWrite(SlaveNetAddress, cmd::kWriteFlashLarge, h, sizeof h, data, count);
}

bool TPublicNetKs::WriteFlashF149(std::uint16_t address, std::uint8_t count, const void* data) {
    if (count > kMaxWriteCount) return false;
    // The F149 flash takes the count before the address.
    std::uint8_t h[3];
    h[0] = count;
    frame::PutLe16(h + 1, address);
    return SendWrite(kF149Address, cmd::kWriteFlashF149, h, sizeof h, data, count);
}

bool TPublicNetKs::ClearFlashF149() { return SendWrite(SlaveNetAddress, cmd::kClearFlashF149, nullptr, 0, nullptr, 0); }

bool TPublicNetKs::SetPassword(std::uint32_t value) {
    std::uint8_t d[4];
    frame::PutLe32(d, value);
    return SendWrite(SlaveNetAddress, cmd::kPassword, d, sizeof d, nullptr, 0);
}

bool TPublicNetKs::IDCOMAND(std::uint32_t value) { return SetPassword(value); }

bool TPublicNetKs::SetTime(const SNextTime* time) {
    if (!time) return false;
    return SendWrite(SlaveNetAddress, cmd::kSetTime, time->Bytes, sizeof time->Bytes, nullptr, 0);
}

bool TPublicNetKs::KeyPress(std::uint8_t key) {
    return SendWrite(SlaveNetAddress, cmd::kKeyPress, &key, 1, nullptr, 0);
}

// The display text has no length of its own; it is not confirmed, as it never was.
bool TPublicNetKs::GetDisplayData() { return SendRead(cmd::kDisplay, nullptr, 0, {}, false); }

bool TPublicNetKs::GetCtrSUM(std::uint16_t value) {
    std::uint8_t d[2];
    frame::PutLe16(d, value);
    return SendRead(cmd::kCtrSum, d, sizeof d);
}

bool TPublicNetKs::GetModuleCounter(std::uint16_t deviceType) {
    if (!Multic(deviceType)) {
        if (OnReceiveModuleCounter) OnReceiveModuleCounter(0);
        return true;
    }
    return SendRequest(SlaveNetAddress, cmd::kModuleCounter, nullptr, 0, kModuleCounterReplyLength,
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
