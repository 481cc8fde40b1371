#include "sim/GenericCommands.h"

#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

#include <algorithm>
#include <string>
#include <vector>

namespace q31::sim {

namespace {

// A packet whose length byte does not match the command's layout is not one
// this meter can execute; it stays silent, as it does for a bad checksum.
bool DataIs(const MeterRequest& r, std::size_t n) { return r.data.size() == n; }

MeterResponse Identification(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 0)) return MeterResponse::None();
    const auto id = m.Identity().Encode();
    return MeterResponse::Data(std::span<const std::uint8_t>(id));
}

MeterResponse ModuleCounter(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 0)) return MeterResponse::None();
    // The count the meter reports is the one its module block holds.
    const std::uint8_t count = m.Ram()[kModuleBlockAddress + kModuleCountOffset];
    return MeterResponse::Data(std::vector<std::uint8_t>{count});
}

// Reads: [addr (2 or 4 bytes)][count]. Past the end of the image the meter
// answers zeros; it never sends more than the master can take.
MeterResponse Read(MeterModel& m, const MeterRequest& r, MemoryArea area, std::size_t addressBytes) {
    if (!DataIs(r, addressBytes + 1)) return MeterResponse::None();
    const std::uint32_t address = addressBytes == 2 ? GetU16(r.data.data()) : GetU32(r.data.data());
    std::size_t count = r.data[addressBytes];
    if (count > kMaxReplyPayload) count = kMaxReplyPayload;
    return MeterResponse::Data(m.Memory().Read(area, address, count));
}

// Writes: [addr (2 or 4 bytes)][count][count data bytes].
MeterResponse Write(MeterModel& m, const MeterRequest& r, MemoryArea area, std::size_t addressBytes) {
    if (r.data.size() < addressBytes + 1) return MeterResponse::None();
    const std::size_t count = r.data[addressBytes];
    if (!DataIs(r, addressBytes + 1 + count)) return MeterResponse::None();
    const std::uint32_t address = addressBytes == 2 ? GetU16(r.data.data()) : GetU32(r.data.data());
    m.Memory().Write(area, address, r.data.subspan(addressBytes + 1, count));
    return MeterResponse::Ack();
}

// F149 flash write: [count][addr lo][addr hi][count data bytes].
MeterResponse WriteF149(MeterModel& m, const MeterRequest& r) {
    if (r.data.empty()) return MeterResponse::None();
    const std::size_t count = r.data[0];
    if (!DataIs(r, 3 + count)) return MeterResponse::None();
    m.Memory().Write(MemoryArea::F149Flash, GetU16(&r.data[1]), r.data.subspan(3, count));
    return MeterResponse::Ack();
}

MeterResponse ClearF149(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 0)) return MeterResponse::None();
    m.Memory().Fill(MemoryArea::F149Flash, kErasedFlashByte);
    ++m.Service().f149Clears;
    return MeterResponse::Ack();
}

MeterResponse Password(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 4)) return MeterResponse::None();
    m.Service().password = GetU32(r.data.data());
    ++m.Service().passwordCount;
    return MeterResponse::Ack();
}

MeterResponse SetTime(MeterModel& m, const MeterRequest& r) {
    auto& time = m.Service().time;
    if (!DataIs(r, time.size())) return MeterResponse::None();
    std::copy(r.data.begin(), r.data.end(), time.begin());
    ++m.Service().timeCount;
    return MeterResponse::Ack();
}

MeterResponse KeyPress(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 1)) return MeterResponse::None();
    m.Service().lastKey = r.data[0];
    ++m.Service().keyCount;
    return MeterResponse::Ack();
}

MeterResponse Display(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 0)) return MeterResponse::None();
    const std::string& text = m.Service().display;
    return MeterResponse::Data(std::vector<std::uint8_t>(text.begin(), text.end()));
}

// The control sum is the 16-bit sum of the F149 controller's flash (its
// program), little-endian; the argument is remembered, not interpreted.
MeterResponse ControlSum(MeterModel& m, const MeterRequest& r) {
    if (!DataIs(r, 2)) return MeterResponse::None();
    m.Service().controlSumArgument = GetU16(r.data.data());
    std::vector<std::uint8_t> payload(2);
    PutU16(payload.data(), Checksum(m.F149Flash()));
    return MeterResponse::Data(std::move(payload));
}

}  // namespace

void RegisterGenericCommands(MeterModel& meter) {
    meter.SetHandler(0x07, ControlSum);
    meter.SetHandler(0x08, ModuleCounter);
    meter.SetHandler(0x0F, Identification);
    meter.SetHandler(0x10, [](MeterModel& m, const MeterRequest& r) { return Read(m, r, MemoryArea::Ram, 2); });
    meter.SetHandler(0x20, [](MeterModel& m, const MeterRequest& r) { return Write(m, r, MemoryArea::Ram, 2); });
    meter.SetHandler(0x30, [](MeterModel& m, const MeterRequest& r) { return Read(m, r, MemoryArea::Flash, 2); });
    meter.SetHandler(0x31, [](MeterModel& m, const MeterRequest& r) { return Read(m, r, MemoryArea::Flash, 4); });
    meter.SetHandler(0x40, [](MeterModel& m, const MeterRequest& r) { return Write(m, r, MemoryArea::Flash, 2); });
    meter.SetHandler(0x41, [](MeterModel& m, const MeterRequest& r) { return Write(m, r, MemoryArea::Flash, 4); });
    meter.SetHandler(0x50, Password);
    meter.SetHandler(0x51, SetTime);
    meter.SetHandler(0x53, KeyPress);
    meter.SetHandler(0x54, Display);
    meter.SetHandler(0x55, ClearF149);
    meter.SetHandler(kF149WriteCommand, WriteF149);
}

}  // namespace q31::sim
