#include <poll.h>
#include <sys/socket.h>

#include "support/SocketWait.h"

namespace q31 {

int WaitForSocket(int socket, bool forWriting, int ms) {
    pollfd p{socket, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
    const int rc = ::poll(&p, 1, ms);
    return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
}

bool ShutDownSocket(int socket) { return ::shutdown(socket, SHUT_RDWR) == 0; }

}  // namespace q31
