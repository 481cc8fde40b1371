#include <windows.h>

#include <cstdio>
#include <cstring>

#include "support/HostPort.h"
#include "support/win32/ComPortWin32.h"

namespace q31 {

namespace {

// The speeds the Windows serial drivers name (CBR_...) and the higher ones
// common USB adapters take as plain numbers.
constexpr int kSpeeds[] = {110,    300,    600,     1200,    2400,    4800,    9600,   14400,
                           19200,  38400,  56000,   57600,   115200,  128000,  230400, 256000,
                           460800, 921600, 1000000, 1500000, 2000000, 3000000, 4000000};

bool ApplyFraming(HANDLE h, const HostPortSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) return false;
    dcb.Parity = settings.parity == HostParity::Even  ? EVENPARITY
                 : settings.parity == HostParity::Odd ? ODDPARITY
                                                      : NOPARITY;
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    // Parity is checked by the UART but bytes are not replaced; the link's
    // checksum decides what a damaged reply is.
    dcb.fParity = FALSE;
    return ::SetCommState(h, &dcb) != 0;
}

}  // namespace

bool HostPortSpeedSupported(int baud) {
    for (int s : kSpeeds)
        if (s == baud) return true;
    return false;
}

PortHandle OpenHostPort(const char* path, const HostPortSettings& settings, int* osError) {
    auto fail = [&](DWORD error) {
        if (osError) *osError = static_cast<int>(error);
        return kNoPort;
    };
    if (path == nullptr || !HostPortSpeedSupported(settings.baud) || (settings.stopBits != 1 && settings.stopBits != 2))
        return fail(ERROR_INVALID_PARAMETER);
    char name[MAX_PATH];
    win32::ComDevicePath(path, name, sizeof name);
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail(::GetLastError());

    bool ok = win32::SetRawComState(h, settings.baud) && ApplyFraming(h, settings);
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
        const DWORD error = ::GetLastError();
        ::CloseHandle(h);
        return fail(error);
    }
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    if (osError) *osError = 0;
    return reinterpret_cast<PortHandle>(h);
}

PortHandle OpenHostPort(const char* path, int baud) {
    HostPortSettings settings;
    settings.baud = baud;
    return OpenHostPort(path, settings);
}

const char* HostPortErrorText(int osError) {
    // A COM port is opened exclusively: while another program holds it, a
    // second open is refused as access denied.
    if (osError == ERROR_ACCESS_DENIED) return "in use by another program";
    static thread_local char text[256];
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(osError), 0, text, sizeof text, nullptr);
    if (n == 0) {
        std::snprintf(text, sizeof text, "system error %d", osError);
        return text;
    }
    // FormatMessage ends its text with a line break.
    for (DWORD i = n; i > 0 && (text[i - 1] == '\r' || text[i - 1] == '\n' || text[i - 1] == '.'); --i)
        text[i - 1] = '\0';
    return text;
}

bool HostPortBusy(int osError) { return osError == ERROR_ACCESS_DENIED; }

// Access to a COM port is not granted by group: a refusal means another
// program holds it, which HostPortErrorText says already.
std::string HostPortOpenErrorText(int osError) { return HostPortErrorText(osError); }

int DiscardHostPortInput(PortHandle port) {
    const HANDLE handle = reinterpret_cast<HANDLE>(port);
    if (port == 0 || handle == INVALID_HANDLE_VALUE) return -1;
    DWORD errors = 0;
    COMSTAT status{};
    const int waiting = ::ClearCommError(handle, &errors, &status) ? static_cast<int>(status.cbInQue) : 0;
    return ::PurgeComm(handle, PURGE_RXCLEAR) ? waiting : -1;
}

void CloseHostPort(PortHandle port) {
    if (port != 0 && reinterpret_cast<HANDLE>(port) != INVALID_HANDLE_VALUE)
        ::CloseHandle(reinterpret_cast<HANDLE>(port));
}

}  // namespace q31
