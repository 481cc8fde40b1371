// This machine's name, for the rows and messages a gateway ships.
#pragma once

#include <string>

namespace q31 {

// The host name; "gateway" when the system gives none.
std::string HostName();

}  // namespace q31
