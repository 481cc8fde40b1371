#include <windows.h>

#include "support/HostName.h"

namespace q31 {

std::string HostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size) || size == 0) return "gateway";
    return std::string(name, size);
}

}  // namespace q31
