#include "platform/win32/LibraryAttachWin32.h"

#include <windows.h>

#include <atomic>

namespace q31 {

namespace {
std::atomic<bool> g_attached{false};
}  // namespace

void NoteLibraryAttached() { g_attached.store(true, std::memory_order_release); }

bool LibraryAttached() {
    if (g_attached.load(std::memory_order_acquire)) return true;
    // A program's static initialisation runs outside the loader lock; only a
    // DLL has to wait for its DllMain.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&LibraryAttached), &self);
    return self != nullptr && self == ::GetModuleHandleW(nullptr);
}

}  // namespace q31
