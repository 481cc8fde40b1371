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

std::uint32_t CounterAddress(ArchiveRing ring) {
    return kArchiveCountersAddress + (ring == ArchiveRing::Hours ? 4 : 8);
}

std::uint32_t Counter(const MeterModel& meter, ArchiveRing ring) {
    return meter.Memory().ReadU32(MemoryArea::Flash, CounterAddress(ring));
}

// Byte `offset` of the record held by `slot` of a second-layout ring.
std::uint8_t RecordByte(ArchiveRing ring, std::uint32_t count, std::uint32_t slot, std::uint32_t offset,
                        std::uint32_t era) {
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
        const std::uint64_t value = ArchiveFieldValue(ring, f.field, module, record, era);
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
        return RecordByte(ring, Counter(meter, ring), slot, offset, meter.ArchiveEra());
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

// One slot of every first-layout series of `ring`, for every module.
void WritePlainSlot(MeterModel& meter, ArchiveRing ring, std::uint32_t slot, bool written, std::uint32_t record) {
    const auto flash = meter.Flash();
    for (PlainSeries series : kPlainSeries) {
        const PlainRow& row = Row(series);
        if (row.ring != ring) continue;
        for (int module = 1; module <= 6; ++module) {
            const std::uint32_t at = PlainRingAddress(series, module) + slot * row.valueBytes;
            const std::uint64_t value = written ? PlainValue(series, module, record, meter.ArchiveEra()) : ~0ull;
            for (std::uint32_t b = 0; b < row.valueBytes; ++b)
                flash[at + b] = static_cast<std::uint8_t>(value >> (8 * b));
        }
    }
}

void WritePlainRings(MeterModel& meter) {
    for (ArchiveRing ring : {ArchiveRing::Hours, ArchiveRing::Days}) {
        const std::uint32_t count = Counter(meter, ring);
        for (std::uint32_t slot = 0; slot < Slots(ring); ++slot) {
            std::uint32_t record = 0;
            const bool written = RecordInSlot(count, Slots(ring), slot, record);
            WritePlainSlot(meter, ring, slot, written, record);
        }
    }
}

// Era bits sit above the record number: bits 40..55 of an 8-byte value,
// bits 24..31 of a 4-byte one (there they share room with record numbers of
// 2^16 and more, which a test never reaches).
std::uint64_t WithEra(std::uint64_t value, std::uint32_t valueBytes, std::uint32_t era) {
    if (valueBytes == 8) return value | (static_cast<std::uint64_t>(era & 0xFFFF) << 40);
    if (valueBytes == 4) return (value ^ (static_cast<std::uint64_t>(era & 0xFF) << 24)) & 0xFFFFFFFFu;
    return value;
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

std::uint64_t ArchiveFieldValue(ArchiveRing ring, ArchiveField field, int module, std::uint32_t record,
                                std::uint32_t era) {
    // [ring][field: 3 bits][module: 3 bits] under the record number.
    const int owner = field == ArchiveField::Time ? 0 : module;
    const std::uint64_t tag = (ring == ArchiveRing::Days ? 0x80u : 0u) | (static_cast<std::uint64_t>(field) << 3) |
                              static_cast<std::uint64_t>(owner & 7);
    const std::uint64_t value = (static_cast<std::uint64_t>(record) << 8) | tag;
    const std::uint32_t bytes = ArchiveFieldBytes(field);
    return WithEra(bytes == 8 ? (value | kWideMark) : (value & 0xFFFFFFFFu), bytes, era);
}

std::uint32_t PlainRingAddress(PlainSeries series, int module) {
    const PlainRow& row = Row(series);
    return row.first + row.step * static_cast<std::uint32_t>(module - 1);
}

std::uint32_t PlainValueBytes(PlainSeries series) { return Row(series).valueBytes; }

ArchiveRing PlainRing(PlainSeries series) { return Row(series).ring; }

std::uint64_t PlainValue(PlainSeries series, int module, std::uint32_t record, std::uint32_t era) {
    const auto s = static_cast<std::uint64_t>(series);
    const auto m = static_cast<std::uint64_t>(module & 7);
    if (Row(series).valueBytes == 2) {
        // Twelve bits of the record number under the series and module: every
        // value of one ring differs from the others.
        return ((record & 0x0FFFu) | (m << 12) | (series == PlainSeries::HourShortV2 ? 0x8000u : 0u)) & 0xFFFFu;
    }
    return WithEra(((static_cast<std::uint64_t>(record) << 8) | 0x40u | (s << 3) | m) & 0xFFFFFFFFu, 4, era);
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

void RestartArchive(MeterModel& meter, std::uint32_t era, std::uint32_t hourCount, std::uint32_t dayCount) {
    meter.SetArchiveEra(era);
    SetArchiveCounters(meter, meter.Memory().ReadU32(MemoryArea::Flash, kArchiveCountersAddress), hourCount, dayCount);
}

std::uint32_t ArchiveCount(const MeterModel& meter, ArchiveRing ring) { return Counter(meter, ring); }

std::uint32_t WriteArchiveRecord(MeterModel& meter, ArchiveRing ring) {
    const std::uint32_t record = Counter(meter, ring);
    // The slot first, the counter after: a reader that sees the new counter
    // finds the record in place, one that sees the old counter may already
    // find its oldest record overwritten.
    WritePlainSlot(meter, ring, record % Slots(ring), true, record);
    meter.Memory().WriteU32(MemoryArea::Flash, CounterAddress(ring), record + 1);
    return record;
}

void InstallArchiveContent(MeterModel& meter, const MeterConfig& config) {
    SetArchiveCounters(meter, config.archiveFirstWord, config.hourCount, config.dayCount);
    meter.SetHandler(0x90, ReadArchive);
    meter.SetHandler(0x91, TestArchive);
}

}  // namespace q31::sim
