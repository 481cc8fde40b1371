// Whether the loader may still be inside this library's attach notification.
//
// The form is built by static initialisation while the loader holds its
// lock, and building it already arms a timer (the link's null-byte timer).
// No window may be made then: the loop waits for the attach to finish.
#pragma once

namespace q31 {

// DllMain, at the end of DLL_PROCESS_ATTACH.
void NoteLibraryAttached();

// False while this code is a DLL whose attach notification has not finished.
// Always true when the code is linked into a program instead.
bool LibraryAttached();

}  // namespace q31
