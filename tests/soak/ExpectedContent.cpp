#include "tests/soak/ExpectedContent.h"

#include <algorithm>

#include "sim/ArchiveContent.h"
#include "sim/LogContent.h"
#include "sim/MeterLayout.h"
#include "sim/SimFrame.h"

namespace q31::soak {

namespace {

std::uint64_t U64(const std::uint8_t* p) {
    return sim::GetU32(p) | static_cast<std::uint64_t>(sim::GetU32(p + 4)) << 32;
}

// A log record as the host gets it: the first `bytes` of the meter's record,
// in 8-byte halves.
void AddRecord(std::vector<std::uint64_t>& out, const std::vector<std::uint8_t>& record, std::size_t bytes) {
    for (std::size_t at = 0; at < bytes; at += 8) out.push_back(U64(&record[at]));
}

constexpr int kRecordsPerBlock = 16;

}  // namespace

ExpectedContent::ExpectedContent(const sim::MeterConfig& config) : config_(config), model_(config) {}

std::span<const std::uint8_t> ExpectedContent::Ram(std::uint32_t address, std::size_t count) const {
    return model_.Memory().Image(sim::MemoryArea::Ram).subspan(address, count);
}

std::uint16_t ExpectedContent::PointerWord(std::size_t word) const {
    return model_.Memory().ReadU16(sim::MemoryArea::Flash,
                                   static_cast<std::uint32_t>(sim::kRamPointerFlashAddress + 2 * word));
}

bool ExpectedContent::SameMemoryAs(const sim::MeterModel& live) const {
    for (auto area : {sim::MemoryArea::Ram, sim::MemoryArea::Flash}) {
        const auto a = model_.Memory().Image(area);
        const auto b = live.Memory().Image(area);
        if (!std::equal(a.begin(), a.end(), b.begin(), b.end())) return false;
    }
    return true;
}

std::vector<std::uint64_t> ExpectedContent::For(const SoakRequest& r) const {
    std::vector<std::uint64_t> out;
    const bool second = sim::UsesSecondLogLayout(config_.versionWord);
    const int module = static_cast<int>(r.module) - 1;
    switch (r.kind) {
        case Export::ID: {
            const auto& id = model_.Identity();
            out = {id.devType, id.versionWord, id.serialNumber, id.idWord12};
            break;
        }
        case Export::ModuleCount: out.push_back(Ram(sim::kModuleBlockAddress + sim::kModuleCountOffset, 1)[0]); break;
        case Export::ModuleRecord: {
            // Word, six bytes each one up (mod 256), six 32-bit values.
            const auto entry = Ram(static_cast<std::uint32_t>(sim::kModuleBlockAddress + sim::kModuleEntryOffset +
                                                              sim::kModuleEntrySize * static_cast<std::size_t>(module)),
                                   sim::kModuleEntrySize);
            out.push_back(sim::GetU16(&entry[0]));
            for (int i = 0; i < 6; ++i) out.push_back(static_cast<std::uint8_t>(entry[12 + i] + 1));
            for (int i = 0; i < 6; ++i) out.push_back(sim::GetU32(&entry[18 + 4 * i]));
            break;
        }
        case Export::CurrentData: {
            // Four groups of six 32-bit values of the last measurement.
            const auto last = Ram(PointerWord(sim::kPtrLastMeasureWord), sim::kLastMeasureSize);
            for (std::size_t group : {0u, 56u, 80u, 104u})
                for (std::size_t i = 0; i < 6; ++i) out.push_back(sim::GetU32(&last[group + 4 * i]));
            break;
        }
        case Export::AccumulatedData: {
            // Six 32-bit values, then three groups of six 64-bit values.
            const auto totals = Ram(PointerWord(sim::kPtrModuleTotalsWord), sim::kModuleTotalsSize);
            for (std::size_t i = 0; i < 6; ++i) out.push_back(sim::GetU32(&totals[4 * i]));
            for (std::size_t i = 0; i < 18; ++i) out.push_back(U64(&totals[24 + 8 * i]));
            break;
        }
        case Export::ArchiveCount: out = {config_.archiveFirstWord, config_.hourCount, config_.dayCount}; break;
        case Export::ErrorHDev:
            for (int w = 0; w < 8; ++w) out.push_back(sim::ErrorHeadWord(sim::kDeviceLog, w));
            break;
        case Export::ErrorHModule:
            // The host gets six words; the meter's head has five, and what
            // the sixth holds is the library's own affair.
            for (int w = 0; w < 5; ++w) out.push_back(sim::ErrorHeadWord(module, w));
            break;
        case Export::ErrorDataDev:
            for (int i = 0; i < kRecordsPerBlock; ++i)
                AddRecord(out, sim::ErrorRecordBytes(second, sim::kDeviceLog, module, i), 8);
            break;
        case Export::ErrorDataModule:
            for (int i = 0; i < kRecordsPerBlock; ++i)
                AddRecord(out, sim::ErrorRecordBytes(second, module, static_cast<int>(r.block) - 1, i), 8);
            break;
        case Export::EditHModule: out.push_back(sim::EditHeadWord(module)); break;
        case Export::EditDataModule:
            for (int i = 0; i < kRecordsPerBlock; ++i) AddRecord(out, sim::EditRecordBytes(second, module, i), 16);
            break;
        default: out = Series(r); break;
    }
    return out;
}

std::vector<std::uint64_t> ExpectedContent::Series(const SoakRequest& r) const {
    using sim::ArchiveField;
    static constexpr ArchiveField kFields[6] = {ArchiveField::Time, ArchiveField::Stop, ArchiveField::T,
                                                ArchiveField::U,    ArchiveField::M,    ArchiveField::E};
    const bool hourly = IsHourly(r.kind);
    const int index =
        static_cast<int>(r.kind) - static_cast<int>(hourly ? Export::ArchiveTime_Hour : Export::ArchiveTime_Day);
    const ArchiveField field = kFields[index];
    const sim::ArchiveRing ring = hourly ? sim::ArchiveRing::Hours : sim::ArchiveRing::Days;
    const std::uint32_t counter = hourly ? config_.hourCount : config_.dayCount;
    const std::uint32_t slots = hourly ? sim::kHourSlots : sim::kDaySlots;
    // From the start up to the newest record; a start the ring has already
    // overwritten gives the whole ring, oldest first.
    const std::uint32_t oldestHeld = counter > slots ? counter - slots : 0;
    const std::uint32_t first = std::max(r.start, oldestHeld);
    const std::uint64_t mask = sim::ArchiveFieldBytes(field) == 8 ? ~0ull : 0xFFFFFFFFull;
    std::vector<std::uint64_t> out;
    for (std::uint32_t record = first; record < counter; ++record)
        out.push_back(sim::ArchiveFieldValue(ring, field, static_cast<int>(r.module), record) & mask);
    return out;
}

}  // namespace q31::soak
