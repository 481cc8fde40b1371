// q31-winhost on a network line: the port opened by the DLL from its URL.
#pragma once

#include "platform/DynamicLibrary.h"
#include "tools/winhost/WinHostOptions.h"

namespace q31::winhost {

// Opens o.port (tcp:// or rfc2217://) through q31_port_open, identifies the
// meter and reads its hourly E series through the context API, then closes
// the port; also checks that a server nobody runs is reported as such.
void RemoteRun(const DynamicLibrary& dll, const Options& o);

}  // namespace q31::winhost
