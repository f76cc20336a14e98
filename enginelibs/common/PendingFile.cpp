#include "common/PendingFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Destination.h"

namespace brisko::enginelib {

namespace {

// How much a file may grow between two looks at the destination's free space.
constexpr std::uint64_t kRoomCheck = std::uint64_t(1) << 20;

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

PendingFile::~PendingFile() {
    abandon();
}

bool PendingFile::fail(int error) {
    m_error = error;
    abandon();
    return false;
}

bool PendingFile::flush() {
    if (m_used > 0 && !writeAll(m_fd, m_buffer, m_used)) {
        return false;
    }
    m_used = 0;
    return true;
}

bool PendingFile::write(const void* data, std::size_t size) {
    if (m_fd < 0) {
        return false;
    }
    m_unchecked += size;
    if (m_unchecked >= kRoomCheck) {
        const std::uint64_t bytes = m_unchecked;
        m_unchecked = 0;
        if (!m_owner->haveRoom(m_fd, bytes, true)) {
            m_owner->refused(m_path, Outcome::NoRoom);
            return fail(ENOSPC);
        }
        if (m_owner->m_guard != nullptr && !m_owner->m_guard->keepGoing()) {
            return fail(ECANCELED);
        }
    }
    const char* bytes = static_cast<const char*>(data);
    if (m_used + size > m_capacity && !flush()) {
        return fail(errno);
    }
    // Large blocks go straight to the file; copying them would only cost time.
    if (size >= m_capacity / 2) {
        return writeAll(m_fd, bytes, size) || fail(errno);
    }
    std::memcpy(m_buffer + m_used, bytes, size);
    m_used += size;
    return true;
}

Outcome PendingFile::commit(const timespec& mtime) {
    if (m_fd < 0) {
        return Outcome::Failed;
    }
    if (!flush()) {
        fail(errno);
        return Outcome::Failed;
    }
    const timespec times[2] = {mtime, mtime};
    if ((m_fixMode != 0 && ::fchmod(m_fd, m_fixMode) != 0) || ::futimens(m_fd, times) != 0) {
        fail(errno);
        return Outcome::Failed;
    }
    // close() is where some file systems report a failed write; those are the ones that need a
    // temporary name, so a named file is closed first. An unnamed one needs its descriptor to be linked.
    if (!m_tempName.empty()) {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            fail(errno);
            return Outcome::Failed;
        }
    }
    int error = 0;
    const Outcome placed = m_owner->placeFile(m_folder, m_fd, m_tempName, m_targetName, error);
    if (placed != Outcome::Done) {
        if (placed == Outcome::Protected) {
            m_owner->refused(m_path, placed);
        }
        m_error = error;
        abandon();
        return placed;
    }
    abandon(); // nothing left to remove; closes an unnamed file, releases the folder and the buffer
    return Outcome::Done;
}

void PendingFile::abandon() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_folder >= 0 && !m_tempName.empty()) {
        ::unlinkat(m_folder, m_tempName.c_str(), 0);
    }
    m_folder = -1;
    m_tempName.clear();
    if (m_owner != nullptr) {
        --m_owner->m_openFiles;
        if (m_buffer != nullptr) {
            m_owner->m_bufferLent = false;
        }
    }
    m_owner = nullptr;
    m_buffer = nullptr;
    m_capacity = 0;
    m_used = 0;
}

} // namespace brisko::enginelib
