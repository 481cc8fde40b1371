// On POSIX the host drives the loop through Pump, which waits on the loop's
// own condition variable; there is nothing else to notify.
#include "runtime/MessageLoop.h"

namespace q31 {

void LoopBackendPosted(MessageLoop&) {}
void LoopBackendTimersChanged(MessageLoop&) {}
void LoopBackendDestroy(MessageLoop&) {}
bool LoopBackendWait(MessageLoop&, Micros, int&) { return false; }

}  // namespace q31
