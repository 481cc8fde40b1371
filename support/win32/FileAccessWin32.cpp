#include "support/FileAccess.h"

namespace q31 {

// Windows guards files with ACLs, which the installer sets; nothing to tell.
bool ReadableByOthers(const std::string&) { return false; }

// Sockets are no C runtime descriptors there: no limit to raise.
long long RaiseOpenFileLimit() { return -1; }

}  // namespace q31
