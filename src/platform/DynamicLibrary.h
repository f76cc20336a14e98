#pragma once

#include <string>

namespace brisko::platform {

// A shared library loaded at run time: first from the program's own folder, then by the ordinary
// library search. It stays loaded until the object goes.
class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // `name` is a file name ("libunzip32.so") or a path (used as it is). False when it cannot be
    // loaded; the library loaded before, if any, stays.
    bool load(const std::string& name);
    bool loaded() const { return m_handle != nullptr; }

    // The address of an exported symbol, or null.
    void* symbol(const char* name) const;

private:
    void* m_handle = nullptr;
};

// The folder the running program lies in, with a trailing '/'; empty when it cannot be found.
std::string ProgramFolder();

} // namespace brisko::platform
