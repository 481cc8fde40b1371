#include "platform/DynamicLibrary.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace q31 {

DynamicLibrary::~DynamicLibrary() {
    // The plug-in is never unloaded: its form lives as long as the process.
}

bool DynamicLibrary::Open(const char* path) {
    handle_ = reinterpret_cast<void*>(::LoadLibraryA(path));
    if (!handle_) {
        // Error() hands out a pointer: keep the text where it stays valid.
        static thread_local char text[320];
        const DWORD code = ::GetLastError();
        char system[256] = {};
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, system,
                         sizeof system, nullptr);
        for (std::size_t n = std::strlen(system); n > 0 && (system[n - 1] == '\n' || system[n - 1] == '\r'); --n)
            system[n - 1] = 0;
        std::snprintf(text, sizeof text, "LoadLibrary error %lu: %s", static_cast<unsigned long>(code), system);
        error_ = text;
    }
    return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
    return handle_ ? reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name)) : nullptr;
}

}  // namespace q31
