// The OS's side of PortOpen on Windows: a COM port, or a TCP connection
// through Winsock.
// Winsock first: windows.h would bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, whose types it uses.
#include <mstcpip.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/NativePort.h"

namespace q31 {

namespace {

void Describe(PortOpenError* error, int osError, const char* what, const char* detail) {
    if (error == nullptr) return;
    error->osError = osError;
    // A long host name is cut short, not an error.
    if (std::snprintf(error->text, sizeof error->text, "%s: %s", what, detail) < 0) error->text[0] = '\0';
}

// The system's text for an error code, without its closing line break.
const char* SystemText(DWORD code, char* text, DWORD size) {
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, size,
                               nullptr);
    if (n == 0 && std::snprintf(text, size, "system error %lu", static_cast<unsigned long>(code)) < 0) text[0] = '\0';
    for (; n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.'); --n) text[n - 1] = '\0';
    return text;
}

PortHandle Failed(PortOpenError* error, DWORD code, const char* what) {
    char text[160];
    Describe(error, static_cast<int>(code), what, SystemText(code, text, sizeof text));
    return kNoPort;
}

bool SetLine(HANDLE h, const LineSettings& s) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) return false;
    dcb.BaudRate = static_cast<DWORD>(s.baud);
    dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    dcb.Parity = s.parity == LineParity::Even ? EVENPARITY : s.parity == LineParity::Odd ? ODDPARITY : NOPARITY;
    dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    // Raw bytes: no flow control, nothing replaced or dropped.
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!::SetCommState(h, &dcb)) return false;
    // Reads return at once with what is queued; a write may take a second.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = 1000;
    return ::SetCommTimeouts(h, &timeouts) != 0;
}

bool WinsockReady(int* code) {
    static std::once_flag once;
    static int started = -1;
    std::call_once(once, [] {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    *code = started;
    return started == 0;
}

// Waits for a non-blocking connect to finish; 0 on success, else the error.
int AwaitConnect(SOCKET s, int timeoutMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, &wait);
    if (ready == SOCKET_ERROR) return ::WSAGetLastError();
    if (ready == 0) return WSAETIMEDOUT;
    int result = 0;
    int length = sizeof result;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&result), &length) != 0)
        return ::WSAGetLastError();
    return FD_ISSET(s, &failed) && result == 0 ? WSAECONNREFUSED : result;
}

}  // namespace

PortHandle NativeOpenDevice(const char* path, const LineSettings& settings, PortOpenError* error) {
    // "COM10" and above open only through the device namespace, and it works for every port.
    char name[MAX_PATH];
    const bool plain = std::strncmp(path, "\\\\", 2) != 0;
    if (std::snprintf(name, sizeof name, "%s%s", plain ? "\\\\.\\" : "", path) >= static_cast<int>(sizeof name))
        return Failed(error, ERROR_FILENAME_EXCED_RANGE, path);
    const HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_ACCESS_DENIED) {
            Describe(error, static_cast<int>(code), path, "in use by another program");
            return kNoPort;
        }
        return Failed(error, code, path);
    }
    if (!SetLine(h, settings)) {
        const DWORD code = ::GetLastError();
        ::CloseHandle(h);
        return Failed(error, code, path);
    }
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return reinterpret_cast<PortHandle>(h);
}

PortHandle NativeConnect(const char* host, int port, int timeoutMs, PortOpenError* error) {
    char where[300];
    if (std::snprintf(where, sizeof where, "cannot connect to %s:%d", host, port) < 0) where[0] = '\0';
    int code = 0;
    if (!WinsockReady(&code)) return Failed(error, static_cast<DWORD>(code), where);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[8];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo* found = nullptr;
    code = ::getaddrinfo(host, service, &hints, &found);
    if (code != 0) return Failed(error, static_cast<DWORD>(code), where);
    SOCKET s = INVALID_SOCKET;
    code = WSAETIMEDOUT;
    for (addrinfo* a = found; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
        s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            code = ::WSAGetLastError();
            continue;
        }
        // Non-blocking from here on: the connect is waited for with a
        // deadline, and later reads take only what is queued.
        u_long on = 1;
        code = ::ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : ::WSAGetLastError();
        if (code == 0 && ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            code = ::WSAGetLastError();
            if (code == WSAEWOULDBLOCK) code = AwaitConnect(s, timeoutMs);
        }
        if (code != 0) {
            ::closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    ::freeaddrinfo(found);
    if (s == INVALID_SOCKET) return Failed(error, static_cast<DWORD>(code), where);
    // A request is a few bytes: it must leave at once, not wait for the
    // acknowledgement of the one before.
    const BOOL on = TRUE;
    if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        code = ::WSAGetLastError();
        ::closesocket(s);
        return Failed(error, static_cast<DWORD>(code), where);
    }
    // A serial server that sends with Nagle's algorithm on holds the rest of
    // a reply until its last segment is acknowledged, and Windows delays
    // acknowledgements up to 200 ms: acknowledge every segment.
    DWORD everySegment = 1;
    DWORD returned = 0;
    if (::WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &everySegment, sizeof everySegment, nullptr, 0, &returned, nullptr,
                   nullptr) != 0) {
        // Not every system takes it (Wine does not): acknowledgements then
        // only come later, and replies still arrive.
    }
    return static_cast<PortHandle>(s);
}

void NativeCloseDevice(PortHandle port) { ::CloseHandle(reinterpret_cast<HANDLE>(port)); }

void NativeCloseSocket(PortHandle port) {
    // Both ways at once, so that a serial server frees its line for the next client.
    ::shutdown(static_cast<SOCKET>(port), SD_BOTH);
    ::closesocket(static_cast<SOCKET>(port));
}

}  // namespace q31
