// Records of the heat meter as they lie in its memory (little-endian, no
// padding). The component stores the meter's bytes as they come; only the
// fields the plug-in hands on are named.
#pragma once

#include <cstdint>

namespace q31 {

#pragma pack(push, 1)

// The archive counters at AddrArhives.
struct SArhives {
    std::uint32_t FirstWord;  // not interpreted
    std::uint32_t HourCount;  // hourly records written since the archive began
    std::uint32_t DayCount;   // daily records written since the archive began
};

// Where the meter keeps its live records in RAM: 17 RAM addresses.
struct SPointerRAM {
    std::uint16_t Words[17];
    static constexpr int PtrDeviceFDW = 2;
    static constexpr int PtrFB6x6 = 3;
    static constexpr int PtrLast = 6;
    static constexpr int PtrModuleSum = 10;
    static constexpr int PtrStopTimeHour = 16;
};

// The last measurement: groups of six 32-bit values at 0, 56, 80 and 104.
struct SLastMeasure {
    std::uint8_t Bytes[152];
};

struct SDeviceFlagsDWord {
    std::uint8_t Bytes[24];
};

struct S6x6FlagsByte {
    std::uint8_t Bytes[14];
};

struct SStopTimeHour {
    std::uint8_t Bytes[16];
};

// The module totals: six 32-bit values, three groups of six 64-bit values,
// and bytes the meter keeps for itself.
struct SModuleSumALLM {
    std::uint32_t Values[6];
    std::uint64_t Groups[3][6];
    std::uint8_t Rest[80];
};

// The same 248 bytes as the hourly module totals read them.
union UModuleSumHoure {
    std::uint8_t Bytes[248];
    SModuleSumALLM All;
};

// The all-totals record in flash.
struct SAllSumm {
    std::uint8_t Bytes[560];
};

// A log head is handed over as a pointer to its first 16-bit word.
using SHead = std::uint16_t;

struct SErrorRecord {
    std::uint8_t Fields[4];
    std::uint32_t Value;
};

struct SErrorRecordV2 {
    std::uint8_t Fields[4];
    std::uint32_t Value;
    std::uint16_t Extra;
};

struct SEventRecord {
    std::uint8_t Fields[4];
    std::uint32_t Values[3];
};

struct SEventRecordV2 {
    std::uint8_t Fields[4];
    std::uint32_t Values[3];
    std::uint16_t Extra;
};

// The memory map of one meter, as SetFlashAddress takes it.
struct SDevQ31 {
    std::uint32_t Area0;
    std::uint32_t Area1, Area2, Area3, Area4, Area5, Area6, Area7, Area8, Area9, Area10;
    std::uint32_t Area11, Area12, Area13, Area14, Area15, Area16, Area17, Area18, Area19, Area20;
    std::uint32_t Area21, Area22, Area23, Area24, Area25;
    std::uint32_t Base;
    std::uint8_t Unused[8];
    std::uint16_t ErrorLog;
    std::uint16_t EditLog;
};

#pragma pack(pop)

static_assert(sizeof(SArhives) == 12);
static_assert(sizeof(SPointerRAM) == 34);
static_assert(sizeof(SModuleSumALLM) == 248 && sizeof(UModuleSumHoure) == 248);
static_assert(sizeof(SAllSumm) == 560);
static_assert(sizeof(SErrorRecord) == 8 && sizeof(SErrorRecordV2) == 10);
static_assert(sizeof(SEventRecord) == 16 && sizeof(SEventRecordV2) == 18);
static_assert(sizeof(SDevQ31) == 120);

}  // namespace q31
