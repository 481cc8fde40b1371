// Whether a file that may hold a secret is open to every user of the machine.
#pragma once

#include <string>

namespace q31 {

// True when users other than the owner and the group may read `path`.
bool ReadableByOthers(const std::string& path);

// Raises this process's soft limit of open files to its hard limit, so that
// clients of a server cannot take the descriptors its own connections need.
// The soft limit in force afterwards; -1 when unlimited or unknown.
long long RaiseOpenFileLimit();

}  // namespace q31
