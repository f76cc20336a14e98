#include "engines/EngineGuard.h"

#include <string>

namespace brisko::engines {

namespace {

void recordRead(void* userData, const char* path, BriskoFileId id) {
    auto& files = *static_cast<records::PassFiles*>(userData);
    const std::string name = path != nullptr ? path : "";
    for (records::PassFiles::Read& read : files.read) {
        if (read.path == name) {
            read.changed = read.changed || read.id.Device != id.Device || read.id.Inode != id.Inode;
            return;
        }
    }
    files.read.push_back({name, id, false});
}

} // namespace

BriskoGuard GuardFor(records::PassFiles& files) {
    files.readReported = true;
    return BriskoGuard{files.protectedFiles.data(), files.protectedFiles.size(), &recordRead, &files};
}

} // namespace brisko::engines
