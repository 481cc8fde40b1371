// The virtual meter's error-log and edit-log areas, in the layout its
// version word selects.
//
// Every head word and record is made from its position (owner, block,
// record, field), so a reader can tell exactly where a delivered record came
// from; the functions below give the bytes a position holds.
#pragma once

#include <cstdint>
#include <vector>

namespace q31::sim {

class MeterModel;
struct MeterConfig;

inline constexpr std::uint32_t kErrorLogAddress = 468328;  // 0x72568
inline constexpr std::uint32_t kEditLogAddress = 476248;   // 0x74458
inline constexpr int kLogModules = 8;                      // the areas have room for eight

// Meters from this version word on keep their logs in the second layout
// (longer records, five blocks a module error log, five-word module heads).
inline constexpr std::uint16_t kSecondLogLayoutVersion = 0x00F0;
inline bool UsesSecondLogLayout(std::uint16_t versionWord) { return versionWord >= kSecondLogLayoutVersion; }

// The owner of an error log: the device, or a module 0..7.
inline constexpr int kDeviceLog = -1;

// Word `word` of the device head (owner kDeviceLog) or of a module's error head.
std::uint16_t ErrorHeadWord(int owner, int word);
// The edit head of a module.
std::uint16_t EditHeadWord(int module);
// An error record: 8 bytes in the first layout, 10 in the second.
std::vector<std::uint8_t> ErrorRecordBytes(bool secondLayout, int owner, int block, int record);
// An edit record of a module's log: 16 bytes in the first layout, 18 in the second.
std::vector<std::uint8_t> EditRecordBytes(bool secondLayout, int module, int record);

// A log entry the meter wrote while it ran: the record and the head as they
// now stand in flash.
enum class LogKind : std::uint8_t { Error, Edit };
struct LogEntry {
    LogKind kind = LogKind::Error;
    int owner = kDeviceLog;  // kDeviceLog or a module 0..7 (edit logs: a module)
    int position = 0;        // record number in the log, block * 16 + record
    std::vector<std::uint8_t> record;
    std::vector<std::uint16_t> head;
};

// Records a log has room for: the device error log 128, a module's error log
// 96 or 80 (first or second layout), a module's edit log 16.
int LogCapacity(bool secondLayout, LogKind kind, int owner);

// Writes entry number `sequence` (1, 2, ...) of a log: its record at position
// (sequence - 1) mod capacity, and the head, whose word 0 is then the count
// of entries written and word 1 (error heads) the newest one's position.
// `stamp` (the meter's hour) goes into the record, so entries differ.
LogEntry WriteLogEntry(MeterModel& meter, LogKind kind, int owner, std::uint32_t sequence, std::uint32_t stamp);

// Fills both log areas of the flash; nothing outside them changes.
void InstallLogContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
