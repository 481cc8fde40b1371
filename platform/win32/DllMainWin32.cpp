// The library's entry notification.
//
// The form (FXB) is made by the library's static initialisation, which the
// C runtime runs inside this same DLL_PROCESS_ATTACH just before DllMain: it
// builds the components and their timers and nothing else. No window and no
// thread may be made under the loader lock, so the message loop holds back
// its window until this attach has finished; the window and the reader
// thread come with the first request, on the host's thread.
//
// There is nothing to undo on detach. The form lives until the process
// ends, and once a request has run the library has pinned itself, so a
// FreeLibrary never unmaps the code its window and thread run.
#include <windows.h>

#include "platform/win32/LibraryAttachWin32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) q31::NoteLibraryAttached();
    return TRUE;
}
