#include "platform/FolderLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace brisko::platform {

FolderLock::~FolderLock() {
    if (m_fd >= 0) {
        ::close(m_fd); // gives up the lock
    }
}

FolderLock::Result FolderLock::lock(const std::string& folder) {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Result::Unavailable;
    }
    // flock() belongs to the open folder, not to the process: a second lock() of the same folder,
    // even in this process, is refused as long as this one holds.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? Result::Busy : Result::Unavailable;
    }
    m_fd = fd;
    return Result::Locked;
}

} // namespace brisko::platform
