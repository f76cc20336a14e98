#include "platform/DynamicLibrary.h"

#include <climits>
#include <dlfcn.h>
#include <unistd.h>

namespace brisko::platform {

DynamicLibrary::~DynamicLibrary() {
    if (m_handle) {
        dlclose(m_handle);
    }
}

bool DynamicLibrary::load(const std::string& name) {
    void* handle = nullptr;
    if (name.find('/') == std::string::npos) {
        // The engines installed beside the program win over anything else on the system.
        const std::string own = ProgramFolder() + name;
        handle = dlopen(own.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!handle) {
        handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
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

} // namespace brisko::platform
