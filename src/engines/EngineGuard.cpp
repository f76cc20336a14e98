#include "engines/EngineGuard.h"

#include <string>

namespace brisko::engines {

namespace {

void recordRead(void* userData, const char* path, BriskoFileId id) {
    records::PassFiles& files = static_cast<records::ProcessState*>(userData)->passFiles;
    const std::string name = path != nullptr ? path : "";
    for (records::PassFiles::Read& read : files.read) {
        if (read.path == name) {
            read.changed = read.changed || read.id.Device != id.Device || read.id.Inode != id.Inode;
            return;
        }
    }
    files.read.push_back({name, id, false});
}

void recordFailure(void* userData, const char*, const char* reason) {
    std::string& first = static_cast<records::ProcessState*>(userData)->result.FailureReason;
    if (first.empty() && reason != nullptr) {
        first = reason;
    }
}

} // namespace

BriskoGuard GuardFor(records::ProcessState& state) {
    records::PassFiles& files = state.passFiles;
    files.readReported = true;
    return BriskoGuard{files.protectedFiles.data(), files.protectedFiles.size(), &recordRead, &recordFailure,
                       &state, nullptr};
}

} // namespace brisko::engines
