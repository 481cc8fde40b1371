// A client library's socket seen from outside it: waited for without
// blocking a thread for long, or cut from another thread so that a call
// blocked in it returns at once.
#pragma once

namespace q31 {

// Waits up to `ms` for `socket` to be ready to read (or, with `forWriting`,
// to write): 1 ready, 0 not yet, -1 an error.
int WaitForSocket(int socket, bool forWriting, int ms);

// Ends every transfer on `socket` both ways; the descriptor stays open for
// its owner to close. False when the system refused.
bool ShutDownSocket(int socket);

}  // namespace q31
