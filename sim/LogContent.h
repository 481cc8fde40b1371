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

// Fills both log areas of the flash; nothing outside them changes.
void InstallLogContent(MeterModel& meter, const MeterConfig& config);

}  // namespace q31::sim
