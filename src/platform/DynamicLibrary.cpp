#include "platform/DynamicLibrary.h"

#include <climits>
#include <dlfcn.h>
#include <unistd.h>

// The build system derives the folder from the install layout, so that the two cannot drift apart.
#ifndef BRISKO_PRIVATE_LIBRARY_FOLDER
#error "BRISKO_PRIVATE_LIBRARY_FOLDER must be defined by the build"
#endif

namespace brisko::platform {

DynamicLibrary::~DynamicLibrary() {
    if (m_handle) {
        dlclose(m_handle);
    }
}

bool DynamicLibrary::load(const std::string& name) {
    void* handle = nullptr;
    for (const std::string& candidate : LibraryCandidates(name, ProgramFolder())) {
        handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle) {
            break;
        }
    }
    if (!handle) {
        return false;
    }
    if (m_handle) {
        dlclose(m_handle);
    }
    m_handle = handle;
    return true;
}

void* DynamicLibrary::symbol(const char* name) const {
    return m_handle ? dlsym(m_handle, name) : nullptr;
}

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    const std::string program(path, static_cast<std::size_t>(length));
    return program.substr(0, program.rfind('/') + 1);
}

std::string PrivateLibraryFolder() {
    std::string folder = BRISKO_PRIVATE_LIBRARY_FOLDER;
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::vector<std::string> LibraryCandidates(const std::string& name, const std::string& programFolder) {
    if (name.find('/') != std::string::npos) {
        return {name};
    }
    std::vector<std::string> candidates;
    // Only an absolute program folder is trusted: anything else would make the loader resolve the
    // candidate against whatever the current folder happens to be.
    if (!programFolder.empty() && programFolder.front() == '/') {
        std::string own = programFolder;
        if (own.back() != '/') {
            own += '/';
        }
        // The engines beside the program (the build tree) win over the installed layout, and both win
        // over anything else on the system.
        candidates.push_back(own + name);
        candidates.push_back(own + PrivateLibraryFolder() + name);
    }
    candidates.push_back(name);
    return candidates;
}

} // namespace brisko::platform
