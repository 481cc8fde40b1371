#include "support/PortPair.h"

#include <sys/socket.h>
#include <unistd.h>

namespace q31 {

bool CreatePortPair(PortHandle& first, PortHandle& second) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    first = fds[0];
    second = fds[1];
    return true;
}

void ClosePort(PortHandle port) {
    if (PortUsable(port)) ::close(static_cast<int>(port));
}

}  // namespace q31
