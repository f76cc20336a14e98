#pragma once

#include <string>

namespace brisko::platform {

// An advisory lock on a folder that says "a run is extracting here", held by the object and given up
// when it goes or the process ends, however it ends. Other processes see it through their own
// FolderLock; nothing else is kept from the folder.
class FolderLock {
public:
    enum class Result {
        Locked,      // this object holds the lock
        Busy,        // another process (or another FolderLock) holds it
        Unavailable, // the folder cannot be opened, or its file system keeps no such locks
    };

    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock on `folder` without waiting.
    Result lock(const std::string& folder);

private:
    int m_fd = -1;
};

} // namespace brisko::platform
