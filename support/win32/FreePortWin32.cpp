#include "support/FreePort.h"

namespace q31 {

// The servers the tests start run on Linux only.
int FreeLoopbackPort() { return 0; }
bool LoopbackAccepts(int) { return false; }

}  // namespace q31
