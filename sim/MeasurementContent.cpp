#include "sim/MeasurementContent.h"

#include <vector>

#include "sim/MeterConfig.h"
#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

namespace q31::sim {

namespace {

constexpr std::size_t kADCValueCount = 8;
constexpr std::size_t kPressChannels = 4;

// A packet whose data does not fit the command is not one this meter can
// execute; it stays silent, as it does for a bad checksum.
bool DataIs(const MeterRequest& r, std::size_t n) { return r.data.size() == n; }

MeasurementState& State(MeterModel& m) { return m.Service().measurement; }

// The RAM address a word of the pointer record names now; a test may have
// moved it.
std::uint16_t PointedAddress(const MeterModel& m, std::size_t word) {
    return m.Memory().ReadU16(MemoryArea::Flash, static_cast<std::uint32_t>(kRamPointerFlashAddress + 2 * word));
}

// The term calculation leaves its eight ADC values (24-bit codes in 32-bit
// words) where pointer word 14 points. They move with every calculation and
// with the flow setting, so a reader sees that a calculation ran.
void WriteADCValues(MeterModel& m) {
    const MeasurementState& s = State(m);
    const std::uint16_t base = PointedAddress(m, kPtrADCValuesWord);
    for (std::size_t i = 0; i < kADCValueCount; ++i) {
        const std::uint32_t value =
            0x00080000u + static_cast<std::uint32_t>(i) * 0x1234u + s.termCalculations * 0x10u + s.flowValue;
        m.Memory().WriteU32(MemoryArea::Ram, static_cast<std::uint32_t>(base + 4 * i), value);
    }
}

// The analog buffer: 16-bit samples, byte address a in sample a / 2. Its
// content is that of the last conversion; before the first one it is zero.
std::uint8_t AnalogByte(const MeasurementState& s, std::uint32_t address) {
    if (s.conversions == 0) return 0;
    const std::uint32_t sample = address / 2;
    const auto value = static_cast<std::uint16_t>(0x0800u + (s.analogMode & 0x0Fu) * 0x100u +
                                                  (sample * 7u + s.conversions * 3u) % 64u);
    return static_cast<std::uint8_t>(address % 2 == 0 ? value : value >> 8);
}

MeterResponse SaveData(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 1)) return MeterResponse::None();
    ++State(m).saves;
    State(m).lastSaveValue = r.data[0];
    return MeterResponse::Ack();
}

MeterResponse AnalogStart(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 1)) return MeterResponse::None();
    MeasurementState& s = State(m);
    s.analogRunning = true;
    s.analogMode = r.data[0];
    ++s.analogStarts;
    return MeterResponse::Ack();
}

// [addr lo][addr hi][count]. While a measurement runs every read takes a
// fresh conversion; after its end the last one stays readable.
MeterResponse AnalogRead(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 3)) return MeterResponse::None();
    MeasurementState& s = State(m);
    const std::uint16_t address = GetU16(r.data.data());
    std::size_t count = r.data[2];
    if (count > kMaxReplyPayload) count = kMaxReplyPayload;
    ++s.analogReads;
    s.lastReadAddress = address;
    if (s.analogRunning) ++s.conversions;
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = AnalogByte(s, address + static_cast<std::uint32_t>(i));
    return MeterResponse::Data(std::move(bytes));
}

MeterResponse AnalogEnd(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 0)) return MeterResponse::None();
    State(m).analogRunning = false;
    ++State(m).analogEnds;
    return MeterResponse::Ack();
}

MeterResponse FlowCalculation(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 1)) return MeterResponse::None();
    ++State(m).flowCalculations;
    State(m).flowValue = r.data[0];
    WriteADCValues(m);
    return MeterResponse::Ack();
}

MeterResponse TermCalculation(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 0)) return MeterResponse::None();
    ++State(m).termCalculations;
    WriteADCValues(m);
    return MeterResponse::Ack();
}

// Four 16-bit pressure ADC codes, low byte first, with a little noise that
// changes from read to read.
MeterResponse PressData(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 0)) return MeterResponse::None();
    MeasurementState& s = State(m);
    ++s.pressReads;
    std::vector<std::uint8_t> bytes(2 * kPressChannels);
    for (std::size_t c = 0; c < kPressChannels; ++c) {
        const auto code = static_cast<std::uint16_t>(0x0400u + c * 0x0155u + (s.pressReads * 5u + c) % 32u);
        PutU16(&bytes[2 * c], code);
    }
    return MeterResponse::Data(std::move(bytes));
}

}  // namespace

void InstallMeasurementContent(MeterModel& meter, const MeterConfig&) {
    WriteADCValues(meter);
    meter.SetHandler(0x80, SaveData);
    meter.SetHandler(0x81, AnalogStart);
    meter.SetHandler(0x82, AnalogRead);
    meter.SetHandler(0x83, AnalogEnd);
    meter.SetHandler(0x84, FlowCalculation);
    meter.SetHandler(0x85, TermCalculation);
    meter.SetHandler(0x86, PressData);
}

}  // namespace q31::sim
