#pragma once

#include <string>
#include <vector>

namespace brisko::platform {

// A shared library loaded at run time: first from the program's own folder, then from the program's
// private library folder, then by the ordinary library search. It stays loaded until the object goes.
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

// The private library folder relative to the program's folder ("../lib/brisko/"): where an installed
// program keeps its engine libraries, off the public library path.
std::string PrivateLibraryFolder();

// What load() hands to the dynamic loader, in order, for `name` and a program lying in
// `programFolder` (as ProgramFolder() gives it). A path is tried as it is and nothing else; a file
// name is tried beside the program, then in the private library folder, then bare (the ordinary
// search). Without a program folder only the ordinary search is left: a relative candidate would be
// taken from the current folder.
std::vector<std::string> LibraryCandidates(const std::string& name, const std::string& programFolder);

} // namespace brisko::platform
