// What a Windows host program does around the plug-in, for the host that
// exercises publicQ31.dll the way a data-collection host does: open and set
// up the COM port, and run the thread's window-message loop (loading the DLL
// is DynamicLibrary's). Windows only (platform/win32/).
#pragma once

#include <string>

#include "platform/SerialPort.h"

namespace q31::winhost {

// The port as the host sets it up: speed and COMMTIMEOUTS (ms).
struct ComSetup {
    int baud = 9600;
    unsigned readIntervalTimeout = 0;
    unsigned readTotalTimeoutMultiplier = 0;
    unsigned readTotalTimeoutConstant = 0;
    unsigned writeTotalTimeoutMultiplier = 0;
    unsigned writeTotalTimeoutConstant = 0;
};

// CreateFile on "COM5" (or "\\.\COM5"), 8N1 without flow control at
// setup.baud, the given time-outs. 0 on failure, with the reason in `error`.
PortHandle OpenComPort(const char* name, const ComSetup& setup, std::string& error);
void CloseComPort(PortHandle port);
// Bytes waiting in the port's input queue; -1 when it cannot be asked.
long ComQueuedInput(PortHandle port);

// The calling thread's message loop: GetMessage, TranslateMessage,
// DispatchMessage, until done(context) answers true or timeoutMs has passed.
// Returns done's last answer.
bool PumpWindowMessages(int timeoutMs, bool (*done)(void* context), void* context);

// Threads of this process, and message-only windows it owns; -1 when the
// system cannot say.
int ProcessThreadCount();
int ProcessMessageWindowCount();

}  // namespace q31::winhost
