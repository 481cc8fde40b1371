#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

#include "support/WinHost.h"
#include "support/win32/ComPortWin32.h"

namespace q31::winhost {

namespace {

std::string SystemError(const char* what) {
    const DWORD code = ::GetLastError();
    char text[256] = {};
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                     nullptr);
    for (std::size_t n = std::strlen(text); n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'); --n) text[n - 1] = 0;
    char out[400];
    std::snprintf(out, sizeof out, "%s failed: error %lu %s", what, static_cast<unsigned long>(code), text);
    return out;
}

}  // namespace

PortHandle OpenComPort(const char* name, const ComSetup& setup, std::string& error) {
    char path[MAX_PATH];
    win32::ComDevicePath(name, path, sizeof path);
    HANDLE h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = SystemError("CreateFile");
        return 0;
    }
    if (!win32::SetRawComState(h, setup.baud)) {
        error = SystemError("SetCommState");
        ::CloseHandle(h);
        return 0;
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = setup.readIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = setup.readTotalTimeoutMultiplier;
    timeouts.ReadTotalTimeoutConstant = setup.readTotalTimeoutConstant;
    timeouts.WriteTotalTimeoutMultiplier = setup.writeTotalTimeoutMultiplier;
    timeouts.WriteTotalTimeoutConstant = setup.writeTotalTimeoutConstant;
    if (!::SetCommTimeouts(h, &timeouts)) {
        error = SystemError("SetCommTimeouts");
        ::CloseHandle(h);
        return 0;
    }
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return reinterpret_cast<PortHandle>(h);
}

void CloseComPort(PortHandle port) {
    if (port != 0) ::CloseHandle(reinterpret_cast<HANDLE>(port));
}

long ComQueuedInput(PortHandle port) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(reinterpret_cast<HANDLE>(port), &errors, &stat)) return -1;
    return static_cast<long>(stat.cbInQue);
}

bool PumpWindowMessages(int timeoutMs, bool (*done)(void*), void* context) {
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    // A thread timer makes GetMessage come back now and then, so the loop
    // can see its deadline even when nothing else arrives.
    const UINT_PTR tick = ::SetTimer(nullptr, 0, 20, nullptr);
    bool finished = done(context);
    while (!finished && ::GetTickCount64() < deadline) {
        MSG msg;
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
        finished = done(context);
    }
    if (tick != 0) ::KillTimer(nullptr, tick);
    return finished;
}

int ProcessThreadCount() {
    HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = ::GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snap, &entry); more; more = ::Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == self) ++count;
    ::CloseHandle(snap);
    return count;
}

int ProcessMessageWindowCount() {
    const DWORD self = ::GetCurrentProcessId();
    int count = 0;
    for (HWND w = ::FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); w != nullptr;
         w = ::FindWindowExW(HWND_MESSAGE, w, nullptr, nullptr)) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(w, &owner);
        if (owner == self) ++count;
    }
    return count;
}

}  // namespace q31::winhost
