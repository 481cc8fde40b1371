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
