#include <unistd.h>

#include "support/HostName.h"

namespace q31 {

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "gateway";
    return name;
}

}  // namespace q31
