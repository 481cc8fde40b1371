// COM port set-up shared by the host-side helpers on Windows.
#pragma once

#include <windows.h>

#include <cstddef>

namespace q31::win32 {

// "COM5" or "\\.\COM5" as a path CreateFile takes; "COM10" and above only
// open through the device namespace, and it works for every port.
void ComDevicePath(const char* name, char* path, std::size_t size);

// Raw 8N1 at `baud`, no flow control, nothing translated or dropped.
bool SetRawComState(HANDLE port, int baud);

}  // namespace q31::win32
