// Whether a file that may hold a secret is open to every user of the machine.
#pragma once

#include <string>

namespace q31 {

// True when users other than the owner and the group may read `path`.
bool ReadableByOthers(const std::string& path);

}  // namespace q31
