// The heat meter's flash memory map: 175 addresses, one table for the whole
// process, shared by every heat-meter component. It holds the defaults until
// a caller installs a meter's own map with SetFlashAddress.
#pragma once

#include <cstdint>

#include "meter/HeatMeterRecords.h"

namespace q31 {

inline constexpr int kFlashAddressCount = 175;

// Named entries.
enum FlashAddressEntry : int {
    AddrRAMPointer = 2,
    AddrBase = 3,
    AddrEditCounter = 26,
    AddrSummDay = 27,
    AddrAllSumm = 28,
    AddrArhives = 29,
    AddrErrorLog = 173,
    AddrEditLog = 174,
};

// The table itself; read it, change it only through the functions below.
extern std::uint32_t FlashAddressMap[kFlashAddressCount];

// Writes every default back.
void SetFlashAddressDefault();
// Rebuilds the area groups, the base and the log addresses from a meter's
// record (unsigned 32-bit arithmetic, nothing validated); entries 0 to 2 and
// 4 to 30 keep their values. A null record changes nothing.
void SetFlashAddress(const SDevQ31* d);

}  // namespace q31
