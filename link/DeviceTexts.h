// Texts the link hands out, stored as Windows-1251 bytes exactly as the
// meter software has always shown them. Convert them only where shown.
#pragma once

namespace q31::texts {

// Device-type texts, indexed by the high byte of the device type code.
inline constexpr const char* kDeviceTypes[31] = {
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 0: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 1: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 2: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 3: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 4: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 5: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 6: Не определен.
    "\xCA\xEE\xF0\xF0\xE5\xEA\xF2\xEE\xF0 \xE3\xE0\xE7\xE0 N58 V1.X",  // 7: Корректор газа N58 V1.X
    "\xC0\xE4\xE0\xEF\xF2\xE5\xF0 N58A V1.X",                          // 8: Адаптер N58A V1.X
    "\xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xE0\xF2\xEE\xF0 N58 V1.X",       // 9: Программатор N58 V1.X
    "\xCA\xEE\xF0\xF0\xE5\xEA\xF2\xEE\xF0 \xE3\xE0\xE7\xE0 N58 V2.X",  // 10: Корректор газа N58 V2.X
    "\xCA\xEE\xF0\xF0\xE5\xEA\xF2\xEE\xF0 \xE3\xE0\xE7\xE0 N58 V4.X",  // 11: Корректор газа N58 V4.X
    "\xC0\xE4\xE0\xEF\xF2\xE5\xF0 N58A V4.X",                          // 12: Адаптер N58A V4.X
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 13: Не определен.
    "\xC0\xE4\xE0\xEF\xF2\xE5\xF0 N58A V3X,4.X",                       // 14: Адаптер N58A V3X,4.X
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                  // 15: Не определен.
    "\xD2\xE5\xEF\xEB\xEE\xE2\xEE\xE4\xEE\xF1\xF7\xE5\xF2\xF7\xE8\xEA Q31\xCC V1.X",  // 16: Тепловодосчетчик Q31М V1.X
    "\xC0\xE4\xE0\xEF\xF2\xE5\xF0 Q31\xC0 V1.X",                                      // 17: Адаптер Q31А V1.X
    "\xD1\xE5\xF0\xE2\xE8\xF1\xED\xEE\xE5 \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE Q31\xCC\xC0",  // 18: Сервисное устройство Q31МА
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 19: Не определен.
    "\xD2\xE5\xEF\xEB\xEE\xE2\xEE\xE4\xEE\xF1\xF7\xE5\xF2\xF7\xE8\xEA Q31\xCC V2.X",  // 20: Тепловодосчетчик Q31М V2.X
    "\xC0\xE4\xE0\xEF\xF2\xE5\xF0 Q31\xC0 V2.X",                                      // 21: Адаптер Q31А V2.X
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 22: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 23: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 24: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 25: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 26: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 27: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 28: Не определен.
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED.",                                 // 29: Не определен.
    "\xD1\xF7\xE5\xF2\xF7\xE8\xEA \xE3\xE0\xE7\xE0 Q31 V1.X",  // 30: Счетчик газа Q31 V1.X
};

// Device-condition texts, indexed by the high byte of the condition code.
inline constexpr const char* kConditions[4] = {"OK", "Warning", "Error", "Stopped"};

inline constexpr const char* kUndefinedType =
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED\xED\xFB\xE9 \xF2\xE8\xEF.";  // Не определенный тип.
inline constexpr const char* kUndefinedCondition =
    "\xCD\xE5 \xEE\xEF\xF0\xE5\xE4\xE5\xEB\xE5\xED\xED\xEE\xE5 \xF1\xEE\xF1\xF2\xEE\xFF\xED\xE8\xE5.";  // Не определенное состояние.

// The text of a device type code in a table laid out like kDeviceTypes: its
// row while the high byte is below 21, otherwise "undefined type".
inline const char* DeviceTypeText(const char* const* table, unsigned deviceType) {
    const unsigned high = (deviceType >> 8) & 0xFF;
    return high < 21 ? table[high] : kUndefinedType;
}

inline const char* DeviceTypeText(unsigned deviceType) { return DeviceTypeText(kDeviceTypes, deviceType); }

}  // namespace q31::texts
