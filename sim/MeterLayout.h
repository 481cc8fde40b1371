// Where the virtual meter keeps things in its memories.
//
// The RAM module block and the flash RAM-pointer record are where the master
// looks for them; the RAM records the pointer words name are placed by this
// meter (each pointer word i points at kPointedRecordsBase + i * 0x100, so
// every record has its own 256-byte slot, clear of the module block).
#pragma once

#include <cstddef>
#include <cstdint>

namespace q31::sim {

inline constexpr std::size_t kRamSize = 0x10000;        // 64 KiB, 16-bit addresses
inline constexpr std::size_t kFlashSize = 0x80000;      // 512 KiB data flash
inline constexpr std::size_t kF149FlashSize = 0x10000;  // the F149 controller's own flash
inline constexpr std::uint8_t kErasedFlashByte = 0xFF;

inline constexpr std::uint16_t kDeviceType = 0x1400;  // heat/water meter, 5120
inline constexpr std::uint16_t kDefaultVersionWord = 0x00F0;
inline constexpr std::uint32_t kDefaultSerialNumber = 310001;
inline constexpr std::uint64_t kDefaultSeed = 31;
inline constexpr std::uint8_t kDefaultModuleCount = 6;

// Module block in RAM.
inline constexpr std::uint16_t kModuleBlockAddress = 0xFE00;
inline constexpr std::size_t kModuleBlockSize = 392;
inline constexpr std::size_t kModuleCountOffset = 35;
inline constexpr std::size_t kModuleEntryOffset = 52;  // entry i at 52 + 50 * i
inline constexpr std::size_t kModuleEntrySize = 50;
inline constexpr std::size_t kModuleEntries = 6;

// RAM-pointer record in flash: 17 little-endian 16-bit RAM addresses.
inline constexpr std::uint32_t kRamPointerFlashAddress = 16;
inline constexpr std::size_t kRamPointerWords = 17;
inline constexpr std::uint16_t kPointedRecordsBase = 0x1000;
inline constexpr std::uint16_t PointerTarget(std::size_t word) {
    return static_cast<std::uint16_t>(kPointedRecordsBase + 0x100 * word);
}

inline constexpr std::size_t kPtrDeviceFlagsWord = 2;    // 24-byte device flags
inline constexpr std::size_t kPtrFlagsByteWord = 3;      // 14-byte flag bytes
inline constexpr std::size_t kPtrLastMeasureWord = 6;    // 152-byte last measurement
inline constexpr std::size_t kPtrModuleTotalsWord = 10;  // 248-byte module totals
inline constexpr std::size_t kPtrStopTimeWord = 16;      // 16-byte stop-time record
inline constexpr std::size_t kPtrADCValuesWord = 14;     // eight 32-bit ADC values (32 bytes)

inline constexpr std::uint16_t kLastMeasureAddress = PointerTarget(kPtrLastMeasureWord);  // 0x1600
inline constexpr std::size_t kLastMeasureSize = 152;
inline constexpr std::uint16_t kModuleTotalsAddress = PointerTarget(kPtrModuleTotalsWord);  // 0x1A00
inline constexpr std::size_t kModuleTotalsSize = 248;

static_assert(PointerTarget(kRamPointerWords - 1) + 0x100 <= kModuleBlockAddress,
              "pointed records must stay clear of the module block");

}  // namespace q31::sim
