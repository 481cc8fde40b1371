#include "support/FileAccess.h"

namespace q31 {

// Windows guards files with ACLs, which the installer sets; nothing to tell.
bool ReadableByOthers(const std::string&) { return false; }

}  // namespace q31
