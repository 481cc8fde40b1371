// Byte I/O on the HANDLE the host opened.
//
// The host opened the port for synchronous I/O and chose its read time-outs;
// a ReadFile on it blocks until those expire, and nothing reliably ends such
// a read early (CancelSynchronousIo does not reach a blocked serial read under
// Wine, for one). So the reader never asks the port for bytes that are not
// there yet: it watches the input queue (ClearCommError's cbInQue) together
// with its cancel event and its deadline, and then reads only what is queued,
// which ReadFile returns at once whatever time-outs the host set.
//
// A port the library opened as a socket (PortTable) is read and written
// through Winsock instead: its queued input is what FIONREAD reports.
// Winsock first: windows.h would bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <chrono>

#include "platform/PortTable.h"
#include "platform/SerialPort.h"
#include "platform/Telnet.h"

namespace q31 {

namespace {

// How often a reader looks at the input queue while nothing arrives: soon
// after a write (the reply is due), then less often on a silent line. The
// cancel event ends any of these waits at once; they only bound how late
// queued bytes are noticed.
constexpr DWORD kFirstPollMs = 1;
constexpr DWORD kLongestPollMs = 8;

HANDLE H(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

bool Fail(int* osError, DWORD code) {
    if (osError) *osError = static_cast<int>(code);
    return false;
}

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

enum class Source { Comm, Pipe, File, None };

// What kind of handle the host gave us decides how queued input is seen.
Source SourceOf(HANDLE h) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (::ClearCommError(h, &errors, &stat)) return Source::Comm;
    switch (::GetFileType(h)) {
        case FILE_TYPE_PIPE: return Source::Pipe;
        case FILE_TYPE_DISK: return Source::File;
        default: return Source::None;
    }
}

// Bytes that a ReadFile returns at once; -1 when the source is gone (a
// broken pipe, a port that was closed) and nothing more will come.
long Queued(HANDLE h, Source source) {
    switch (source) {
        case Source::Comm: {
            DWORD errors = 0;
            COMSTAT stat{};
            if (!::ClearCommError(h, &errors, &stat)) return -1;
            return static_cast<long>(std::min<DWORD>(stat.cbInQue, 0x7FFFFFFF));
        }
        case Source::Pipe: {
            DWORD avail = 0;
            if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return -1;
            return static_cast<long>(std::min<DWORD>(avail, 0x7FFFFFFF));
        }
        default: return -1;
    }
}

SOCKET Sock(PortHandle port) { return static_cast<SOCKET>(port); }

// The bytes a recv returns at once; -1 when the socket failed.
long SocketQueued(SOCKET s) {
    u_long n = 0;
    if (::ioctlsocket(s, FIONREAD, &n) != 0) return -1;
    return static_cast<long>(std::min<u_long>(n, 0x7FFFFFFF));
}

bool SocketWrite(SOCKET s, const std::uint8_t* data, std::size_t count, int* osError) {
    std::size_t done = 0;
    while (done < count) {
        const int chunk = static_cast<int>(std::min<std::size_t>(count - done, 0x10000));
        const int n = ::send(s, reinterpret_cast<const char*>(data + done), chunk, 0);
        if (n != SOCKET_ERROR) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) return Fail(osError, static_cast<DWORD>(error));
        // The send buffer is full: a peer that takes nothing for a second is gone.
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval wait{1, 0};
        const int ready = ::select(0, nullptr, &writable, nullptr, &wait);
        if (ready == SOCKET_ERROR) return Fail(osError, static_cast<DWORD>(::WSAGetLastError()));
        if (ready == 0) return Fail(osError, WSAETIMEDOUT);
    }
    return true;
}

// Reads up to `capacity` queued bytes (`queued` of them are there) through
// the telnet decoder when the line has one. Returns the data bytes left,
// or -1 with *error set when the socket failed or the peer closed it.
long SocketTake(OpenedPort& port, std::uint8_t* out, std::size_t capacity, long queued, int* error) {
    const std::lock_guard<std::mutex> lock(port.readMutex);
    const int want = static_cast<int>(std::min<std::size_t>(capacity, static_cast<std::size_t>(queued)));
    const int n = ::recv(Sock(port.handle), reinterpret_cast<char*>(out), want, 0);
    if (n == SOCKET_ERROR) {
        const int code = ::WSAGetLastError();
        if (code == WSAEWOULDBLOCK) return 0;
        *error = code;
        return -1;
    }
    if (n == 0) {
        *error = WSAECONNRESET;  // the peer closed the connection
        return -1;
    }
    if (!port.telnet) return n;
    return static_cast<long>(port.decoder.Decode(out, static_cast<std::size_t>(n)));
}

// Waits up to `ms` for the socket to become readable: 1 readable, 0 not yet, -1 failed.
int SocketWait(SOCKET s, DWORD ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
    return ready == SOCKET_ERROR ? -1 : ready > 0 ? 1 : 0;
}

}  // namespace

const PortHandle kNoPort = 0;

bool PortUsable(PortHandle port) { return port != 0 && H(port) != INVALID_HANDLE_VALUE; }

bool PortWrite(PortHandle port, const std::uint8_t* data, std::size_t count, int* osError) {
    if (!PortUsable(port)) return Fail(osError, ERROR_INVALID_HANDLE);
    if (OpenedPort* opened = FindOpenedPort(port); opened != nullptr && opened->socket) {
        if (!opened->telnet) return SocketWrite(Sock(port), data, count, osError);
        // Telnet: every data byte 0xFF goes out doubled, a stretch at a time.
        std::uint8_t escaped[512];
        for (std::size_t done = 0; done < count;) {
            std::size_t taken = 0;
            const std::size_t n = telnet::EscapeData(data + done, count - done, escaped, sizeof escaped, &taken);
            if (!SocketWrite(Sock(port), escaped, n, osError)) return false;
            done += taken;
        }
        return true;
    }
    std::size_t done = 0;
    while (done < count) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 0x10000));
        DWORD written = 0;
        if (!::WriteFile(H(port), data + done, chunk, &written, nullptr)) return Fail(osError, ::GetLastError());
        // A zero count means the port's write time-out expired.
        if (written == 0) return Fail(osError, ERROR_TIMEOUT);
        done += written;
    }
    return true;
}

void PortPurgeInput(PortHandle port) {
    if (!PortUsable(port)) return;
    if (OpenedPort* opened = FindOpenedPort(port); opened != nullptr && opened->socket) {
        // Read off what is there (through the decoder, whose state must
        // follow the stream); bounded like the pipe's below.
        std::uint8_t scratch[256];
        int error = 0;
        for (int rounds = 0; rounds < 256; ++rounds) {
            const long queued = SocketQueued(Sock(port));
            if (queued <= 0 || SocketTake(*opened, scratch, sizeof scratch, queued, &error) < 0) break;
        }
        return;
    }
    const HANDLE h = H(port);
    if (::PurgeComm(h, PURGE_RXCLEAR)) return;
    if (::GetFileType(h) != FILE_TYPE_PIPE) return;
    // A pipe has no driver queue to purge: read off what is there. Bounded,
    // so a peer that never stops sending cannot hold the caller here.
    std::uint8_t scratch[256];
    for (int rounds = 0; rounds < 256; ++rounds) {
        DWORD avail = 0;
        if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) break;
        DWORD got = 0;
        if (!::ReadFile(h, scratch, std::min<DWORD>(avail, sizeof scratch), &got, nullptr) || got == 0) break;
    }
}

std::size_t PortTakePending(PortHandle port, std::uint8_t* out, std::size_t capacity) {
    if (!PortUsable(port) || capacity == 0) return 0;
    if (OpenedPort* opened = FindOpenedPort(port); opened != nullptr && opened->socket) {
        // A telnet line may give commands alone: read on while they are all there is.
        int error = 0;
        for (int rounds = 0; rounds < 16; ++rounds) {
            const long queued = SocketQueued(Sock(port));
            if (queued <= 0) return 0;
            const long n = SocketTake(*opened, out, capacity, queued, &error);
            if (n != 0) return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return 0;
    }
    const HANDLE h = H(port);
    DWORD avail = 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (::ClearCommError(h, &errors, &stat)) {
        avail = stat.cbInQue;
    } else if (::GetFileType(h) != FILE_TYPE_PIPE || !::PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) {
        return 0;
    }
    if (avail == 0) return 0;
    // Only what is queued: a read of that much returns at once whatever the
    // port's time-outs are.
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(avail, capacity));
    if (!::ReadFile(h, out, want, &got, nullptr)) return 0;
    return got;
}

int PortCharTimeMicros(PortHandle port) {
    if (!PortUsable(port)) return 0;
    if (const OpenedPort* opened = FindOpenedPort(port); opened != nullptr && opened->socket)
        return opened->charTimeMicros;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(H(port), &dcb) || dcb.BaudRate == 0) return 0;
    // Start bit, data bits, parity, stop bits (ONESTOPBIT 0, ONE5STOPBITS 1, TWOSTOPBITS 2).
    int bits = 1 + (dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize : 8);
    if (dcb.Parity != NOPARITY) ++bits;
    bits += dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return static_cast<int>((1000000LL * bits + dcb.BaudRate - 1) / dcb.BaudRate);
}

PortReader::PortReader() {
    // Manual reset: a Cancel stays signalled until the owner's Reset, so a
    // Cancel that comes before the Read still ends it.
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event != nullptr) wake_[0] = reinterpret_cast<std::intptr_t>(event);
}

PortReader::~PortReader() {
    if (wake_[0] != -1) ::CloseHandle(reinterpret_cast<HANDLE>(wake_[0]));
}

void PortReader::Cancel() {
    cancelled_.store(true, std::memory_order_release);
    if (wake_[0] != -1) ::SetEvent(reinterpret_cast<HANDLE>(wake_[0]));
}

void PortReader::Reset() {
    cancelled_.store(false, std::memory_order_release);
    if (wake_[0] != -1) ::ResetEvent(reinterpret_cast<HANDLE>(wake_[0]));
}

std::size_t PortReader::Read(PortHandle port, std::uint8_t* target, std::size_t count, int timeoutMs) {
    error_ = 0;
    if (!PortUsable(port)) {
        error_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (count == 0) return 0;
    if (OpenedPort* opened = FindOpenedPort(port); opened != nullptr && opened->socket)
        return ReadSocket(*opened, target, count, timeoutMs);
    const HANDLE h = H(port);
    const Source source = SourceOf(h);
    if (source == Source::None) return 0;  // nothing we could read without blocking
    const HANDLE wake = wake_[0] != -1 ? reinterpret_cast<HANDLE>(wake_[0]) : nullptr;
    const std::int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    std::size_t got = 0;
    DWORD poll = kFirstPollMs;
    while (got < count && !cancelled_.load(std::memory_order_acquire)) {
        long queued;
        if (source == Source::File) {
            queued = static_cast<long>(std::min<std::size_t>(count - got, 0x10000));  // a file never blocks
        } else {
            queued = Queued(h, source);
            if (queued < 0) {
                error_ = static_cast<int>(::GetLastError());
                break;
            }
        }
        if (queued > 0) {
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - got, static_cast<std::size_t>(queued)));
            DWORD n = 0;
            if (!::ReadFile(h, target + got, want, &n, nullptr)) {
                error_ = static_cast<int>(::GetLastError());
                break;
            }
            if (n > 0) {
                got += n;
                poll = kFirstPollMs;  // the rest of a reply follows close behind
                continue;
            }
            if (source == Source::File) break;  // end of file
            // Queued bytes that did not come (purged meanwhile): wait as for any.
        }
        const std::int64_t left = deadline - NowMs();
        if (left <= 0) break;
        const DWORD wait = static_cast<DWORD>(std::min<std::int64_t>(left, poll));
        poll = std::min(poll * 2, kLongestPollMs);
        if (wake != nullptr) {
            if (::WaitForSingleObject(wake, wait) == WAIT_OBJECT_0) break;  // cancelled
        } else {
            ::Sleep(wait);
        }
    }
    return got;
}

std::size_t PortReader::ReadSocket(OpenedPort& port, std::uint8_t* target, std::size_t count, int timeoutMs) {
    const SOCKET s = Sock(port.handle);
    const HANDLE wake = wake_[0] != -1 ? reinterpret_cast<HANDLE>(wake_[0]) : nullptr;
    const std::int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    std::size_t got = 0;
    while (got < count && !cancelled_.load(std::memory_order_acquire)) {
        const long queued = SocketQueued(s);
        if (queued < 0) {
            error_ = ::WSAGetLastError();
            break;
        }
        if (queued > 0) {
            const long n = SocketTake(port, target + got, count - got, queued, &error_);
            if (n < 0) break;
            got += static_cast<std::size_t>(n);
            continue;
        }
        const std::int64_t left = deadline - NowMs();
        if (left <= 0) break;
        // select cannot wait on the cancel event too: it waits in short
        // slices, and the event is looked at between them.
        const int ready = SocketWait(s, static_cast<DWORD>(std::min<std::int64_t>(left, kLongestPollMs)));
        if (ready < 0) {
            error_ = ::WSAGetLastError();
            break;
        }
        if (ready > 0 && SocketQueued(s) == 0) {
            error_ = WSAECONNRESET;  // readable with nothing to read: the peer closed
            break;
        }
        if (wake != nullptr && ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0) break;
    }
    return got;
}

}  // namespace q31
