// Loading a shared library and looking up its exports, as a host does.
#pragma once

namespace q31 {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // Loads `path`; false on failure (Error() says why).
    bool Open(const char* path);
    // The address of an exported symbol, or nullptr.
    void* Symbol(const char* name) const;
    // The last failure, as the system describes it.
    const char* Error() const { return error_; }

private:
    void* handle_ = nullptr;
    const char* error_ = "";
};

}  // namespace q31
