#include "support/win32/ComPortWin32.h"

#include <cstdio>
#include <cstring>

namespace q31::win32 {

void ComDevicePath(const char* name, char* path, std::size_t size) {
    if (std::strncmp(name, "\\\\", 2) == 0) std::snprintf(path, size, "%s", name);
    else std::snprintf(path, size, "\\\\.\\%s", name);
}

bool SetRawComState(HANDLE port, int baud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    return ::SetCommState(port, &dcb) != 0;
}

}  // namespace q31::win32
