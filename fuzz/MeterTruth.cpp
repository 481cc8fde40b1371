#include "fuzz/MeterTruth.h"

#include <cstring>
#include <string>

#include "sim/ArchiveContent.h"
#include "sim/LogContent.h"
#include "sim/MeterLayout.h"

namespace q31::fuzz {

namespace {

constexpr std::uint16_t kServedType = 0x1400;
// Texts of the operator messages, as the handler gets them (UTF-8).
constexpr const char* kCaption = "Ошибка!";
constexpr const char* kSerialText = "Не совпадение серийных номеров запрос №";
constexpr const char* kSerialFound = "  найден №";
constexpr const char* kCannotText = "Невозможно обработать запрос!";

struct Series {
    sim::ArchiveRing ring;
    sim::ArchiveField field;
    int code;
};

// Series 0..11 of the form: Time, Stop, T, U, M, E, hourly then daily.
Series SeriesOf(int series) {
    static const sim::ArchiveField fields[6] = {sim::ArchiveField::Time, sim::ArchiveField::Stop, sim::ArchiveField::T,
                                                sim::ArchiveField::U,    sim::ArchiveField::M,    sim::ArchiveField::E};
    static const int hourCodes[6] = {10, 11, 6, 7, 8, 9};
    const bool days = series >= 6;
    const int s = series % 6;
    return {days ? sim::ArchiveRing::Days : sim::ArchiveRing::Hours, fields[s], hourCodes[s] + (days ? 100 : 0)};
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool InRange(std::uint8_t n, int low, int high) { return n >= low && n <= high; }

}  // namespace

std::uint8_t MeterTruth::Status(const SessionRequest& r) const {
    if (r.kind == RequestId::ID) return 0;
    if (r.wrongDevType) return 2;
    bool ok = !IsArchiveSeries(r.kind) || InRange(r.number, 1, 6);
    switch (r.kind) {
        case RequestId::ModuleRecord: ok = InRange(r.number, 1, 6); break;
        case RequestId::ErrorHModule:
        case RequestId::ErrorDataDev:
        case RequestId::EditHModule:
        case RequestId::EditDataModule: ok = InRange(r.number, 1, 8); break;
        case RequestId::ErrorDataModule: ok = InRange(r.number, 1, 6) && InRange(r.number2, 1, 5); break;
        default: break;
    }
    return ok ? 0 : 3;
}

SDevIdent MeterTruth::HostRecord(const SessionRequest& r) const {
    SDevIdent dev;
    std::memset(&dev, 0, sizeof dev);
    dev.DevType = r.wrongDevType ? kServedType + 1 : kServedType;
    dev.IdWord2 = meter_.Identity().versionWord;
    dev.SerialNumber = meter_.Identity().serialNumber + (r.wrongSerial ? 1 : 0);
    dev.IdWord12 = 0;
    dev.Carried[0] = kCarried[0];
    dev.Carried[1] = kCarried[1];
    return dev;
}

std::uint32_t MeterTruth::Counter(bool days) const {
    return meter_.Memory().ReadU32(sim::MemoryArea::Flash, sim::kArchiveCountersAddress + (days ? 8 : 4));
}

std::uint16_t MeterTruth::PointerWord(int word) const {
    return meter_.Memory().ReadU16(sim::MemoryArea::Flash,
                                   sim::kRamPointerFlashAddress + 2 * static_cast<std::uint32_t>(word));
}

std::uint32_t MeterTruth::ArchiveStart(const SessionRequest& r) const {
    const std::uint32_t count = Counter(SeriesOf(r.Series()).ring == sim::ArchiveRing::Days);
    // Mostly a short stretch up to the newest record (across the ring's end
    // with the session meter's counters); rarely a start the meter has
    // overwritten (the whole ring) or one beyond the counter (refused).
    if (r.startBack == 255) return count + 1;
    if (r.startBack == 254) return 0;
    const std::uint32_t back = r.startBack % 48;
    return back > count ? 0 : count - back;
}

int MeterTruth::Packets(const SessionRequest& r) const {
    if (IsArchiveSeries(r.kind)) {
        const bool days = SeriesOf(r.Series()).ring == sim::ArchiveRing::Days;
        const std::uint32_t count = Counter(days);
        const std::uint32_t slots = days ? sim::kDaySlots : sim::kHourSlots;
        const std::uint32_t start = ArchiveStart(r);
        const std::uint32_t values = start > count ? 0 : (count - start > slots ? slots : count - start);
        return 4 + static_cast<int>(values / 10);
    }
    return 6;
}

HostDelivery MeterTruth::Expected(const SessionRequest& r, const std::uint8_t carried[2],
                                  std::size_t& compareBytes) const {
    HostDelivery d;
    const sim::MeterIdentity& id = meter_.Identity();
    const sim::MeterMemory& mem = meter_.Memory();
    compareBytes = SIZE_MAX;
    if (r.wrongSerial && r.kind != RequestId::ID) {
        d.code = HostDelivery::kMessage;
        // Both numbers as signed 32-bit decimals.
        d.text = std::string(kCaption) + ": " + kSerialText +
                 std::to_string(static_cast<std::int32_t>(id.serialNumber + 1)) + kSerialFound +
                 std::to_string(static_cast<std::int32_t>(id.serialNumber));
        return d;
    }
    auto ram = [&](std::uint32_t at, std::size_t n) { return mem.Read(sim::MemoryArea::Ram, at, n); };
    if (IsArchiveSeries(r.kind)) {
        const Series s = SeriesOf(r.Series());
        const bool days = s.ring == sim::ArchiveRing::Days;
        const std::uint32_t count = Counter(days);
        const std::uint32_t slots = days ? sim::kDaySlots : sim::kHourSlots;
        const std::uint32_t start = ArchiveStart(r);
        if (start > count) {
            d.code = HostDelivery::kMessage;
            d.text = std::string(kCaption) + ": " + kCannotText;
            return d;
        }
        // A start the meter has overwritten gives the whole ring, oldest first.
        const std::uint32_t first = count > slots && start < count - slots ? count - slots : start;
        const std::size_t width = sim::ArchiveFieldBytes(s.field);
        d.code = s.code;
        for (std::uint32_t rec = first; rec < count; ++rec)
            PutLe(d.bytes, sim::ArchiveFieldValue(s.ring, s.field, r.number, rec), width);
        d.hasCount = true;
        d.count = count - first;
        return d;
    }
    switch (r.kind) {
        case RequestId::ID: {
            d.code = 0;
            PutLe(d.bytes, id.devType, 2);
            PutLe(d.bytes, id.versionWord, 2);
            PutLe(d.bytes, id.serialNumber, 4);
            PutLe(d.bytes, id.idWord12, 2);
            d.bytes.push_back(carried[0]);
            d.bytes.push_back(carried[1]);
            break;
        }
        case RequestId::ModuleCount:
            d.code = 1;
            d.bytes = ram(sim::kModuleBlockAddress + sim::kModuleCountOffset, 1);
            break;
        case RequestId::ModuleRecord: {
            d.code = 2;
            const auto entry = ram(static_cast<std::uint32_t>(sim::kModuleBlockAddress + sim::kModuleEntryOffset +
                                                              sim::kModuleEntrySize * (r.number - 1u)),
                                   sim::kModuleEntrySize);
            d.bytes.assign(entry.begin(), entry.begin() + 2);
            for (int i = 0; i < 6; ++i) d.bytes.push_back(static_cast<std::uint8_t>(entry[12 + i] + 1));
            d.bytes.insert(d.bytes.end(), entry.begin() + 18, entry.begin() + 42);
            break;
        }
        case RequestId::CurrentData: {
            d.code = 3;
            const auto last = ram(PointerWord(sim::kPtrLastMeasureWord), 152);
            for (int from : {0, 56, 80, 104})
                d.bytes.insert(d.bytes.end(), last.begin() + from, last.begin() + from + 24);
            break;
        }
        case RequestId::AccumulatedData:
            d.code = 4;
            d.bytes = ram(PointerWord(sim::kPtrModuleTotalsWord), 168);
            break;
        case RequestId::ArchiveCount:
            d.code = 5;
            d.bytes = mem.Read(sim::MemoryArea::Flash, sim::kArchiveCountersAddress, 12);
            break;
        case RequestId::ErrorHDev:
            d.code = 120;
            for (int w = 0; w < 8; ++w) PutLe(d.bytes, sim::ErrorHeadWord(sim::kDeviceLog, w), 2);
            d.hasCount = true;
            d.count = 8;
            break;
        case RequestId::ErrorHModule:
            d.code = 121;
            for (int w = 0; w < 5; ++w) PutLe(d.bytes, sim::ErrorHeadWord(r.number - 1, w), 2);
            // The sixth word has no place in the meter's head: only five are checked.
            d.bytes.resize(12, 0);
            compareBytes = 10;
            d.hasCount = true;
            d.count = 6;
            break;
        case RequestId::ErrorDataDev:
        case RequestId::ErrorDataModule: {
            const bool dev = r.kind == RequestId::ErrorDataDev;
            d.code = dev ? 122 : 123;
            const int owner = dev ? sim::kDeviceLog : r.number - 1;
            const int block = dev ? r.number - 1 : r.number2 - 1;
            for (int rec = 0; rec < 16; ++rec) {
                const auto bytes = sim::ErrorRecordBytes(true, owner, block, rec);
                d.bytes.insert(d.bytes.end(), bytes.begin(), bytes.begin() + 8);
            }
            d.hasCount = true;
            d.count = 16;
            break;
        }
        case RequestId::EditHModule:
            d.code = 124;
            PutLe(d.bytes, sim::EditHeadWord(r.number - 1), 2);
            break;
        case RequestId::EditDataModule:
            d.code = 125;
            for (int rec = 0; rec < 16; ++rec) {
                const auto bytes = sim::EditRecordBytes(true, r.number - 1, rec);
                d.bytes.insert(d.bytes.end(), bytes.begin(), bytes.begin() + 16);
            }
            d.hasCount = true;
            d.count = 16;
            break;
        default: break;
    }
    return d;
}

}  // namespace q31::fuzz
