// A TCP port on 127.0.0.1 that nothing listens on just now, for a server a
// test or benchmark starts (PostgreSQL, mosquitto).
#pragma once

namespace q31 {

// 0 when the system gives none.
int FreeLoopbackPort();

// Whether a server takes TCP connections on 127.0.0.1:`port` now (the
// connection is closed at once).
bool LoopbackAccepts(int port);

}  // namespace q31
