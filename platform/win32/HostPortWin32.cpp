#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/HostPort.h"

namespace q31 {

namespace {

bool StandardSpeed(int baud) {
    switch (baud) {
        case 1200: case 2400: case 4800: case 9600: case 19200:
        case 38400: case 57600: case 115200: case 230400:
            return true;
        default:
            return false;
    }
}

}  // namespace

PortHandle OpenHostPort(const char* path, int baud) {
    if (path == nullptr || !StandardSpeed(baud)) return 0;
    // "COM10" and above only open through the device namespace; it works for
    // every port, so plain names get it too.
    char name[MAX_PATH];
    if (std::strncmp(path, "\\\\", 2) == 0) std::snprintf(name, sizeof name, "%s", path);
    else std::snprintf(name, sizeof name, "\\\\.\\%s", path);
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    bool ok = ::GetCommState(h, &dcb) != 0;
    if (ok) {
        // Raw 8N1, no flow control, nothing translated or dropped.
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
        ok = ::SetCommState(h, &dcb) != 0;
    }
    if (ok) {
        // Reads return at once with what is queued; a write may take a second.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = 1000;
        ok = ::SetCommTimeouts(h, &timeouts) != 0;
    }
    if (!ok) {
        ::CloseHandle(h);
        return 0;
    }
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return reinterpret_cast<PortHandle>(h);
}

void CloseHostPort(PortHandle port) {
    if (port != 0 && reinterpret_cast<HANDLE>(port) != INVALID_HANDLE_VALUE) ::CloseHandle(reinterpret_cast<HANDLE>(port));
}

}  // namespace q31
