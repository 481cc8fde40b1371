#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/HostPort.h"
#include "platform/win32/ComPortWin32.h"

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
    if (path == nullptr || !StandardSpeed(baud)) return kNoPort;
    char name[MAX_PATH];
    win32::ComDevicePath(path, name, sizeof name);
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoPort;

    bool ok = win32::SetRawComState(h, baud);
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
        return kNoPort;
    }
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return reinterpret_cast<PortHandle>(h);
}

void CloseHostPort(PortHandle port) {
    if (port != 0 && reinterpret_cast<HANDLE>(port) != INVALID_HANDLE_VALUE) ::CloseHandle(reinterpret_cast<HANDLE>(port));
}

}  // namespace q31
