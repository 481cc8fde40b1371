#include "sim/ArchiveContent.h"

#include <algorithm>
#include <vector>

#include "sim/MeterConfig.h"
#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

namespace q31::sim {

namespace {

constexpr ArchiveLayout kLargeRecords{264, 12672, 300432};
constexpr ArchiveLayout kSmallRecords{256, 12544, 300544};
constexpr std::uint64_t kWideMark = 0xA5ull << 56;

struct PlainRow {
    std::uint32_t first;  // ring of module 1
    std::uint32_t step;   // from one module's ring to the next
    std::uint32_t valueBytes;
    ArchiveRing ring;
};
constexpr PlainRow kPlainRows[] = {
    {31680, 4488, 4, ArchiveRing::Hours},   // HourLong
    {280896, 2376, 4, ArchiveRing::Days},   // DayLong
    {17424, 2376, 2, ArchiveRing::Hours},   // HourShort
    {272976, 1320, 2, ArchiveRing::Days},   // DayShort
    {449320, 2376, 2, ArchiveRing::Hours},  // HourShortV2
};
constexpr PlainSeries kPlainSeries[] = {PlainSeries::HourLong, PlainSeries::DayLong, PlainSeries::HourShort,
                                        PlainSeries::DayShort, PlainSeries::HourShortV2};

const PlainRow& Row(PlainSeries series) { return kPlainRows[static_cast<int>(series)]; }

std::uint32_t Slots(ArchiveRing ring) { return ring == ArchiveRing::Hours ? kHourSlots : kDaySlots; }

std::uint32_t Counter(const MeterModel& meter, ArchiveRing ring) {
    const std::uint32_t at = kArchiveCountersAddress + (ring == ArchiveRing::Hours ? 4 : 8);
    return meter.Memory().ReadU32(MemoryArea::Flash, at);
}

// Byte `offset` of the record held by `slot` of a second-layout ring.
std::uint8_t RecordByte(ArchiveRing ring, std::uint32_t count, std::uint32_t slot, std::uint32_t offset) {
    std::uint32_t record = 0;
    if (!RecordInSlot(count, Slots(ring), slot, record)) return kErasedFlashByte;
    struct Span {
        std::uint32_t from, bytes, fieldBytes;
        ArchiveField field;
    };
    static constexpr Span kFields[] = {
        {0, 4, 4, ArchiveField::Time}, {4, 24, 4, ArchiveField::Stop}, {28, 48, 8, ArchiveField::E},
        {76, 48, 8, ArchiveField::U},  {124, 48, 8, ArchiveField::M},  {220, 24, 4, ArchiveField::T},
    };
    for (const Span& f : kFields) {
        if (offset < f.from || offset >= f.from + f.bytes) continue;
        const std::uint32_t inField = offset - f.from;
        const int module = static_cast<int>(inField / f.fieldBytes) + 1;
        const std::uint64_t value = ArchiveFieldValue(ring, f.field, module, record);
        return static_cast<std::uint8_t>(value >> (8 * (inField % f.fieldBytes)));
    }
    // Bytes the master never reads: still a function of record and place.
    return static_cast<std::uint8_t>(record * 7 + offset);
}

// A byte of the meter's archive memory as 0x90 sees it.
std::uint8_t ArchiveByte(const MeterModel& meter, const ArchiveLayout& layout, std::uint64_t address) {
    for (ArchiveRing ring : {ArchiveRing::Hours, ArchiveRing::Days}) {
        const std::uint64_t first = ring == ArchiveRing::Hours ? layout.hourRing : layout.dayRing;
        const std::uint64_t end = first + static_cast<std::uint64_t>(Slots(ring)) * layout.recordSize;
        if (address < first || address >= end) continue;
        const auto slot = static_cast<std::uint32_t>((address - first) / layout.recordSize);
        const auto offset = static_cast<std::uint32_t>((address - first) % layout.recordSize);
        return RecordByte(ring, Counter(meter, ring), slot, offset);
    }
    const auto flash = meter.Memory().Image(MemoryArea::Flash);
    return address < flash.size() ? flash[address] : 0;
}

bool InRecordRing(const ArchiveLayout& layout, std::uint32_t address) {
    const std::uint64_t a = address;
    return (a >= layout.hourRing && a < layout.hourRing + std::uint64_t{kHourSlots} * layout.recordSize) ||
           (a >= layout.dayRing && a < layout.dayRing + std::uint64_t{kDaySlots} * layout.recordSize);
}

// 0x90: [address of the first value, 4][bytes wanted][value size].
MeterResponse ReadArchive(MeterModel& m, const MeterRequest& r) {
    if (r.data.size() != 6) return MeterResponse::None();
    const std::uint32_t address = GetU32(r.data.data());
    const std::size_t count = std::min<std::size_t>(r.data[4], kMaxReplyPayload);
    const std::uint32_t size = r.data[5];
    if (size == 0 || size > 8) return MeterResponse::None();
    const ArchiveLayout layout = ArchiveLayoutFor(m.Identity().versionWord);
    if (!InRecordRing(layout, address)) return MeterResponse::Data(m.Memory().Read(MemoryArea::Flash, address, count));
    // The field at that place of one record after another.
    std::vector<std::uint8_t> payload(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t at = address + (i / size) * std::uint64_t{layout.recordSize} + i % size;
        payload[i] = ArchiveByte(m, layout, at);
    }
    return MeterResponse::Data(std::move(payload));
}

// 0x91: [a byte][32-bit value][16-bit value]; the meter answers with the
// seven bytes it was given.
MeterResponse TestArchive(MeterModel&, const MeterRequest& r) {
    if (r.data.size() != 7) return MeterResponse::None();
    return MeterResponse::Data(r.data);
}

void WritePlainRings(MeterModel& meter) {
    const std::uint32_t hours = Counter(meter, ArchiveRing::Hours);
    const std::uint32_t days = Counter(meter, ArchiveRing::Days);
    const auto flash = meter.Flash();
    for (PlainSeries series : kPlainSeries) {
        const PlainRow& row = Row(series);
        const std::uint32_t slots = Slots(row.ring);
        const std::uint32_t count = row.ring == ArchiveRing::Hours ? hours : days;
        for (int module = 1; module <= 6; ++module) {
            const std::uint32_t ring = PlainRingAddress(series, module);
            for (std::uint32_t slot = 0; slot < slots; ++slot) {
                std::uint32_t record = 0;
                const bool written = RecordInSlot(count, slots, slot, record);
                const std::uint64_t value = written ? PlainValue(series, module, record) : ~0ull;
                for (std::uint32_t b = 0; b < row.valueBytes; ++b)
                    flash[ring + slot * row.valueBytes + b] = static_cast<std::uint8_t>(value >> (8 * b));
            }
        }
    }
}

}  // namespace

ArchiveLayout ArchiveLayoutFor(std::uint16_t versionWord) {
    return versionWord < kSmallArchiveRecordsFrom ? kLargeRecords : kSmallRecords;
}

std::uint32_t ArchiveFieldOffset(ArchiveField field, int module) {
    const auto m = static_cast<std::uint32_t>(module - 1);
    switch (field) {
        case ArchiveField::Time: return 0;
        case ArchiveField::Stop: return 4 + 4 * m;
        case ArchiveField::E: return 28 + 8 * m;
        case ArchiveField::U: return 76 + 8 * m;
        case ArchiveField::M: return 124 + 8 * m;
        case ArchiveField::T: return 220 + 4 * m;
    }
    return 0;
}

std::uint32_t ArchiveFieldBytes(ArchiveField field) {
    return field == ArchiveField::E || field == ArchiveField::U || field == ArchiveField::M ? 8 : 4;
}

std::uint64_t ArchiveFieldValue(ArchiveRing ring, ArchiveField field, int module, std::uint32_t record) {
    // [ring][field: 3 bits][module: 3 bits] under the record number.
    const int owner = field == ArchiveField::Time ? 0 : module;
    const std::uint64_t tag = (ring == ArchiveRing::Days ? 0x80u : 0u) | (static_cast<std::uint64_t>(field) << 3) |
                              static_cast<std::uint64_t>(owner & 7);
    const std::uint64_t value = (static_cast<std::uint64_t>(record) << 8) | tag;
    return ArchiveFieldBytes(field) == 8 ? (value | kWideMark) : (value & 0xFFFFFFFFu);
}

std::uint32_t PlainRingAddress(PlainSeries series, int module) {
    const PlainRow& row = Row(series);
    return row.first + row.step * static_cast<std::uint32_t>(module - 1);
}

std::uint32_t PlainValueBytes(PlainSeries series) { return Row(series).valueBytes; }

ArchiveRing PlainRing(PlainSeries series) { return Row(series).ring; }

std::uint64_t PlainValue(PlainSeries series, int module, std::uint32_t record) {
    const auto s = static_cast<std::uint64_t>(series);
    const auto m = static_cast<std::uint64_t>(module & 7);
    if (Row(series).valueBytes == 2) {
        // Twelve bits of the record number under the series and module: every
        // value of one ring differs from the others.
        return ((record & 0x0FFFu) | (m << 12) | (series == PlainSeries::HourShortV2 ? 0x8000u : 0u)) & 0xFFFFu;
    }
    return ((static_cast<std::uint64_t>(record) << 8) | 0x40u | (s << 3) | m) & 0xFFFFFFFFu;
}

bool RecordInSlot(std::uint32_t count, std::uint32_t slots, std::uint32_t slot, std::uint32_t& record) {
    if (slots == 0 || slot >= slots || count == 0) return false;
    const std::uint32_t newest = count - 1;
    if (newest < slot) return false;
    record = newest - (newest - slot) % slots;
    return true;
}

void SetArchiveCounters(MeterModel& meter, std::uint32_t firstWord, std::uint32_t hourCount, std::uint32_t dayCount) {
    meter.Memory().WriteU32(MemoryArea::Flash, kArchiveCountersAddress, firstWord);
    meter.Memory().WriteU32(MemoryArea::Flash, kArchiveCountersAddress + 4, hourCount);
    meter.Memory().WriteU32(MemoryArea::Flash, kArchiveCountersAddress + 8, dayCount);
    WritePlainRings(meter);
}

void InstallArchiveContent(MeterModel& meter, const MeterConfig& config) {
    SetArchiveCounters(meter, config.archiveFirstWord, config.hourCount, config.dayCount);
    meter.SetHandler(0x90, ReadArchive);
    meter.SetHandler(0x91, TestArchive);
}

}  // namespace q31::sim
