#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

namespace q31 {

DynamicLibrary::~DynamicLibrary() {
    // The plug-in is never unloaded: its form lives as long as the process.
}

bool DynamicLibrary::Open(const char* path) {
    handle_ = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* e = ::dlerror();
        error_ = e ? e : "cannot load";
    }
    return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

}  // namespace q31
