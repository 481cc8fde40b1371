// The meter's measurement and calibration commands (0x80 to 0x86) and the
// ADC read-out chain built on them.
//
// The single commands are plain packets whose reply goes unchanged to
// whoever holds OnReceiveExecuted; they only differ in their command byte,
// the data they carry and whether the meter answers with one acknowledgement
// byte or with a data reply. GetADCData borrows OnReceiveExecuted for four
// packets and hands the owner the 64 bytes of values once, at the end.
#include <cstring>

#include "link/CommandBytes.h"
#include "link/Frame.h"
#include "meter/StoreReply.h"
#include "meter/TPublicNetKs_6x6.h"

namespace q31 {

namespace {

enum class MeasurementReply : std::uint8_t {
    Acknowledgement,  // one byte, read by OnlyTransmit
    Data,             // header and body, read by ReceivedData
};

struct MeasurementCommand {
    std::uint8_t command;
    std::uint8_t dataBytes;
    MeasurementReply reply;
};

// Indexed by command byte - 0x80.
constexpr MeasurementCommand kMeasurementCommands[] = {
    {cmd::kSaveData, 1, MeasurementReply::Acknowledgement},
    {cmd::kAnalogStart, 1, MeasurementReply::Acknowledgement},
    {cmd::kAnalogRead, 3, MeasurementReply::Data},  // address (2), count
    {cmd::kAnalogEnd, 0, MeasurementReply::Acknowledgement},
    {cmd::kFlowCalculation, 1, MeasurementReply::Acknowledgement},
    {cmd::kTermCalculation, 0, MeasurementReply::Acknowledgement},
    {cmd::kAdcPressData, 0, MeasurementReply::Data},
};
constexpr std::size_t kMeasurementCommandCount = sizeof kMeasurementCommands / sizeof kMeasurementCommands[0];

// The ADC chain: the pointer record read in full, of which the first 16
// words are kept; two RAM blocks of eight 32-bit values each.
constexpr std::uint8_t kPointerRecordBytes = 34;
constexpr int kADCPointerBytes = sizeof(TPublicNetKs_6x6::ADCPointers);
constexpr int kADCFirstPointer = 6;
constexpr int kADCSecondPointer = 14;
constexpr int kADCHalfValues = 8;
constexpr std::uint8_t kADCBlockBytes = kADCHalfValues * sizeof(std::int32_t);

static_assert(kADCPointerBytes == 32, "ADCPointers holds the first 16 words of the pointer record");
static_assert(sizeof(TPublicNetKs_6x6::ADCValues) == 2 * kADCBlockBytes, "ADCValues holds both RAM blocks");

}  // namespace

bool TPublicNetKs_6x6::SendMeasurement(std::uint8_t command, const std::uint8_t* data, std::size_t dataBytes) {
    if (command < cmd::kSaveData || command - cmd::kSaveData >= static_cast<int>(kMeasurementCommandCount))
        return false;
    const MeasurementCommand& c = kMeasurementCommands[command - cmd::kSaveData];
    if (dataBytes != c.dataBytes || (dataBytes && !data)) return false;
    if (c.reply == MeasurementReply::Data) return SendRead(c.command, data, dataBytes);
    return SendWrite(SlaveNetAddress, c.command, data, dataBytes, nullptr, 0);
}

bool TPublicNetKs_6x6::SaveData(std::uint8_t value) { return SendMeasurement(cmd::kSaveData, &value, 1); }

bool TPublicNetKs_6x6::AnalogStart(std::uint8_t value) { return SendMeasurement(cmd::kAnalogStart, &value, 1); }

bool TPublicNetKs_6x6::AnalogRead(std::uint16_t address, std::uint8_t count) {
    // A reply carries at most kMaxReadCount bytes; a longer one could never
    // be accepted and would only be asked for again and again.
    if (count > kMaxReadCount) return false;
    std::uint8_t d[3];
    frame::PutLe16(d, address);
    d[2] = count;
    return SendMeasurement(cmd::kAnalogRead, d, sizeof d);
}

bool TPublicNetKs_6x6::AnalogEnd() { return SendMeasurement(cmd::kAnalogEnd, nullptr, 0); }

bool TPublicNetKs_6x6::StartFlowCalculation(std::uint8_t value) {
    return SendMeasurement(cmd::kFlowCalculation, &value, 1);
}

bool TPublicNetKs_6x6::StartTermCalculation() { return SendMeasurement(cmd::kTermCalculation, nullptr, 0); }

bool TPublicNetKs_6x6::GetADCPressData() { return SendMeasurement(cmd::kAdcPressData, nullptr, 0); }

void TPublicNetKs_6x6::GetADCData() {
    Borrow<&TPublicNetKs_6x6::ReceiveRAMPointer>();
    // A packet that cannot go out ends the chain with the owner's handler back.
    if (!ReadFlashLarge(FlashAddressMap[AddrRAMPointer], kPointerRecordBytes)) GiveBack();
}

void TPublicNetKs_6x6::ReceiveRAMPointer(short Length, char* Buffer) {
    // A short record leaves the missing pointers zero rather than those of
    // an earlier read.
    StoreReply(ADCPointers, kADCPointerBytes, Length, Buffer);
    Switch<&TPublicNetKs_6x6::ReceiveADCStart>();
    if (!StartTermCalculation()) GiveBack();
}

void TPublicNetKs_6x6::ReceiveADCStart(short, char*) {
    // The acknowledgement says nothing the chain needs: the calculation has
    // been started, and its values are read next.
    Switch<&TPublicNetKs_6x6::ReceiveADCF>();
    if (!ReadRAM(ADCPointers[kADCFirstPointer], kADCBlockBytes)) GiveBack();
}

void TPublicNetKs_6x6::ReceiveADCF(short Length, char* Buffer) {
    StoreReply(ADCValues, kADCBlockBytes, Length, Buffer);
    Switch<&TPublicNetKs_6x6::ReceiveADCUL>();
    if (!ReadRAM(ADCPointers[kADCSecondPointer], kADCBlockBytes)) GiveBack();
}

void TPublicNetKs_6x6::ReceiveADCUL(short Length, char* Buffer) {
    StoreReply(ADCValues + kADCHalfValues, kADCBlockBytes, Length, Buffer);
    GiveBack();
    if (OnReceiveExecuted) OnReceiveExecuted(static_cast<short>(sizeof ADCValues), reinterpret_cast<char*>(ADCValues));
}

}  // namespace q31
