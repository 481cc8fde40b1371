#include "sim/LogContent.h"

#include "sim/MeterConfig.h"
#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

namespace q31::sim {

namespace {

// A byte naming the log: 0xDE for the device, 0xA0 + module for a module.
std::uint8_t OwnerCode(int owner) { return static_cast<std::uint8_t>(owner == kDeviceLog ? 0xDE : 0xA0 + owner); }
std::uint8_t LayoutCode(bool secondLayout) { return secondLayout ? 2 : 1; }

struct LogLayout {
    std::uint32_t errorRecord;  // bytes of an error record
    std::uint32_t moduleHeads;  // offset of the module error heads
    int moduleHeadWords;
    std::uint32_t moduleLogs;  // offset of the module error logs
    int moduleBlocks;
    std::uint32_t editRecord;  // bytes of an edit record
};

constexpr LogLayout kFirst{8, 1040, 6, 1136, 6, 16};
constexpr LogLayout kSecond{10, 1296, 5, 1376, 5, 18};
constexpr int kBlocks = 8;            // blocks of the device error log
constexpr int kRecordsPerBlock = 16;  // records of an error block and of an edit log
constexpr std::uint32_t kDeviceLogOffset = 16;
constexpr std::uint32_t kEditLogsOffset = 16;

}  // namespace

std::uint16_t ErrorHeadWord(int owner, int word) {
    return static_cast<std::uint16_t>(OwnerCode(owner) << 8 | (word & 0xFF));
}

std::uint16_t EditHeadWord(int module) { return static_cast<std::uint16_t>(0xED00 | OwnerCode(module)); }

std::vector<std::uint8_t> ErrorRecordBytes(bool secondLayout, int owner, int block, int record) {
    std::vector<std::uint8_t> r(secondLayout ? 10 : 8);
    const std::uint8_t owned = OwnerCode(owner);
    r[0] = owned;
    r[1] = static_cast<std::uint8_t>(block);
    r[2] = static_cast<std::uint8_t>(record);
    r[3] = static_cast<std::uint8_t>(0xE0 | LayoutCode(secondLayout));
    PutU32(&r[4], static_cast<std::uint32_t>(owned) << 24 | static_cast<std::uint32_t>(block) << 16 |
                      static_cast<std::uint32_t>(record) << 8 | 0x4E);
    if (secondLayout) PutU16(&r[8], static_cast<std::uint16_t>(0xF000 | block << 8 | record << 4 | (owned & 0xF)));
    return r;
}

std::vector<std::uint8_t> EditRecordBytes(bool secondLayout, int module, int record) {
    std::vector<std::uint8_t> r(secondLayout ? 18 : 16);
    const std::uint8_t owned = OwnerCode(module);
    r[0] = owned;
    r[1] = static_cast<std::uint8_t>(record);
    r[2] = 0xED;
    r[3] = LayoutCode(secondLayout);
    for (std::uint32_t field = 1; field <= 3; ++field)
        PutU32(&r[4 * field],
               static_cast<std::uint32_t>(owned) << 24 | static_cast<std::uint32_t>(record) << 16 | field << 8 | 0xED);
    if (secondLayout) PutU16(&r[16], static_cast<std::uint16_t>(0xE000 | module << 8 | record));
    return r;
}

int LogCapacity(bool secondLayout, LogKind kind, int owner) {
    if (kind == LogKind::Edit) return kRecordsPerBlock;
    if (owner == kDeviceLog) return kBlocks * kRecordsPerBlock;
    return (secondLayout ? kSecond : kFirst).moduleBlocks * kRecordsPerBlock;
}

LogEntry WriteLogEntry(MeterModel& meter, LogKind kind, int owner, std::uint32_t sequence, std::uint32_t stamp) {
    const bool second = UsesSecondLogLayout(meter.Identity().versionWord);
    const LogLayout& l = second ? kSecond : kFirst;
    LogEntry entry;
    entry.kind = kind;
    entry.owner = owner;
    entry.position = static_cast<int>((sequence - 1) % static_cast<std::uint32_t>(LogCapacity(second, kind, owner)));
    const std::uint8_t owned = OwnerCode(owner);
    std::uint32_t recordAt = 0;
    std::uint32_t headAt = 0;
    int headWords = 1;
    if (kind == LogKind::Error) {
        // Bytes 0..2 say where the record lies, byte 3 that the meter wrote it
        // while running (0xF_ rather than the 0xE_ of the records it was made with).
        entry.record.assign(l.errorRecord, 0);
        entry.record[0] = owned;
        entry.record[1] = static_cast<std::uint8_t>(entry.position / kRecordsPerBlock);
        entry.record[2] = static_cast<std::uint8_t>(entry.position % kRecordsPerBlock);
        entry.record[3] = static_cast<std::uint8_t>(0xF0 | LayoutCode(second));
        PutU32(&entry.record[4], sequence);
        if (second) PutU16(&entry.record[8], static_cast<std::uint16_t>(stamp));
        const std::uint32_t e = kErrorLogAddress;
        if (owner == kDeviceLog) {
            headAt = e;
            headWords = 8;
            recordAt = e + kDeviceLogOffset + entry.position * l.errorRecord;
        } else {
            headAt = e + l.moduleHeads + owner * 2 * l.moduleHeadWords;
            headWords = l.moduleHeadWords;
            recordAt = e + l.moduleLogs + owner * l.moduleBlocks * kRecordsPerBlock * l.errorRecord +
                       entry.position * l.errorRecord;
        }
    } else {
        entry.record.assign(l.editRecord, 0);
        entry.record[0] = owned;
        entry.record[1] = static_cast<std::uint8_t>(entry.position);
        entry.record[2] = 0xED;
        entry.record[3] = static_cast<std::uint8_t>(0xF0 | LayoutCode(second));
        PutU32(&entry.record[4], sequence);
        PutU32(&entry.record[8], stamp);
        PutU32(&entry.record[12], static_cast<std::uint32_t>(owned) << 24 | 0xED);
        if (second) PutU16(&entry.record[16], static_cast<std::uint16_t>(stamp));
        headAt = kEditLogAddress + 2 * owner;
        recordAt = kEditLogAddress + kEditLogsOffset + (owner * kRecordsPerBlock + entry.position) * l.editRecord;
    }
    MeterMemory& memory = meter.Memory();
    memory.Write(MemoryArea::Flash, recordAt, entry.record);
    memory.WriteU16(MemoryArea::Flash, headAt, static_cast<std::uint16_t>(sequence));
    if (kind == LogKind::Error)
        memory.WriteU16(MemoryArea::Flash, headAt + 2, static_cast<std::uint16_t>(entry.position));
    for (int w = 0; w < headWords; ++w) entry.head.push_back(memory.ReadU16(MemoryArea::Flash, headAt + 2 * w));
    return entry;
}

void InstallLogContent(MeterModel& meter, const MeterConfig& config) {
    const bool second = UsesSecondLogLayout(config.versionWord);
    const LogLayout& l = second ? kSecond : kFirst;
    MeterMemory& memory = meter.Memory();
    auto put = [&](std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
        memory.Write(MemoryArea::Flash, address, bytes);
    };

    const std::uint32_t e = kErrorLogAddress;
    for (int w = 0; w < 8; ++w) memory.WriteU16(MemoryArea::Flash, e + 2 * w, ErrorHeadWord(kDeviceLog, w));
    for (int block = 0; block < kBlocks; ++block)
        for (int record = 0; record < kRecordsPerBlock; ++record)
            put(e + kDeviceLogOffset + (block * kRecordsPerBlock + record) * l.errorRecord,
                ErrorRecordBytes(second, kDeviceLog, block, record));
    const std::uint32_t headBytes = 2 * l.moduleHeadWords;
    const std::uint32_t moduleLogBytes = l.moduleBlocks * kRecordsPerBlock * l.errorRecord;
    for (int module = 0; module < kLogModules; ++module) {
        for (int w = 0; w < l.moduleHeadWords; ++w)
            memory.WriteU16(MemoryArea::Flash, e + l.moduleHeads + module * headBytes + 2 * w,
                            ErrorHeadWord(module, w));
        for (int block = 0; block < l.moduleBlocks; ++block)
            for (int record = 0; record < kRecordsPerBlock; ++record)
                put(e + l.moduleLogs + module * moduleLogBytes + (block * kRecordsPerBlock + record) * l.errorRecord,
                    ErrorRecordBytes(second, module, block, record));
    }

    const std::uint32_t d = kEditLogAddress;
    for (int module = 0; module < kLogModules; ++module) {
        memory.WriteU16(MemoryArea::Flash, d + 2 * module, EditHeadWord(module));
        for (int record = 0; record < kRecordsPerBlock; ++record)
            put(d + kEditLogsOffset + (module * kRecordsPerBlock + record) * l.editRecord,
                EditRecordBytes(second, module, record));
    }
}

}  // namespace q31::sim
