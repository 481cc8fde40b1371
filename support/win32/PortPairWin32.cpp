#include <windows.h>

#include <atomic>
#include <cstdio>

#include "support/PortPair.h"

namespace q31 {

// Windows has no socketpair; a duplex named pipe with a unique name, opened
// from both ends, gives the same two connected byte ports.
bool CreatePortPair(PortHandle& first, PortHandle& second) {
    static std::atomic<unsigned> counter{0};
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\publicQ31-pair-%lu-%u",
                  static_cast<unsigned long>(::GetCurrentProcessId()), counter.fetch_add(1));
    HANDLE server = ::CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                       4096, 4096, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE) return false;
    HANDLE client = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (client == INVALID_HANDLE_VALUE) {
        ::CloseHandle(server);
        return false;
    }
    // The client is already there, so this returns at once (or reports that
    // the client connected first, which is just as good).
    if (!::ConnectNamedPipe(server, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
        ::CloseHandle(client);
        ::CloseHandle(server);
        return false;
    }
    first = reinterpret_cast<PortHandle>(server);
    second = reinterpret_cast<PortHandle>(client);
    return true;
}

void ClosePort(PortHandle port) {
    if (port != 0 && reinterpret_cast<HANDLE>(port) != INVALID_HANDLE_VALUE)
        ::CloseHandle(reinterpret_cast<HANDLE>(port));
}

}  // namespace q31
