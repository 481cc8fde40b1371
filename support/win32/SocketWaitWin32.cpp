#include <winsock2.h>

#include "support/SocketWait.h"

namespace q31 {

int WaitForSocket(int socket, bool forWriting, int ms) {
    WSAPOLLFD p{static_cast<SOCKET>(socket), static_cast<SHORT>(forWriting ? POLLOUT : POLLIN), 0};
    const int rc = ::WSAPoll(&p, 1, ms);
    return rc == SOCKET_ERROR ? -1 : (rc > 0 ? 1 : 0);
}

bool ShutDownSocket(int socket) { return ::shutdown(static_cast<SOCKET>(socket), SD_BOTH) == 0; }

}  // namespace q31
