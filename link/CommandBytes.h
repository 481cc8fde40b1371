// The command bytes of the meter link: the commands every meter of the
// family understands and those of the heat meter's own set.
#pragma once

#include <cstdint>

namespace q31::cmd {

constexpr std::uint8_t kCtrSum = 0x07;
constexpr std::uint8_t kModuleCounter = 0x08;
constexpr std::uint8_t kDeviceId = 0x0F;
constexpr std::uint8_t kReadRam = 0x10;
constexpr std::uint8_t kWriteRam = 0x20;
constexpr std::uint8_t kReadFlash = 0x30;
constexpr std::uint8_t kReadFlashLarge = 0x31;
constexpr std::uint8_t kWriteFlash = 0x40;
constexpr std::uint8_t kWriteFlashLarge = 0x41;
constexpr std::uint8_t kPassword = 0x50;
constexpr std::uint8_t kSetTime = 0x51;
constexpr std::uint8_t kKeyPress = 0x53;
constexpr std::uint8_t kDisplay = 0x54;
constexpr std::uint8_t kClearFlashF149 = 0x55;
constexpr std::uint8_t kWriteFlashF149 = 0x5A;
// The heat meter's measurement and calibration commands.
constexpr std::uint8_t kSaveData = 0x80;
constexpr std::uint8_t kAnalogStart = 0x81;
constexpr std::uint8_t kAnalogRead = 0x82;
constexpr std::uint8_t kAnalogEnd = 0x83;
constexpr std::uint8_t kFlowCalculation = 0x84;
constexpr std::uint8_t kTermCalculation = 0x85;
constexpr std::uint8_t kAdcPressData = 0x86;
// The heat meter's archive commands.
constexpr std::uint8_t kReadArchiveV2 = 0x90;
constexpr std::uint8_t kTestArchiveV2 = 0x91;

}  // namespace q31::cmd
