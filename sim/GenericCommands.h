// The commands every meter of the family understands: identification,
// module counter, memory reads and writes (RAM, flash with 16- and 32-bit
// addresses, F149 flash), password, clock, keys, display and control sum.
#pragma once

namespace q31::sim {

class MeterModel;

// Installs the handlers for 0x07, 0x08, 0x0F, 0x10, 0x20, 0x30, 0x31, 0x40,
// 0x41, 0x50, 0x51, 0x53, 0x54, 0x55 and 0x5A.
void RegisterGenericCommands(MeterModel& meter);

}  // namespace q31::sim
