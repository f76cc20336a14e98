#include "common/PendingFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Destination.h"

namespace brisko::enginelib {

PendingFile::~PendingFile() {
    abandon();
}

bool PendingFile::fail(int error) {
    m_error = error;
    abandon();
    return false;
}

bool PendingFile::write(const void* data, std::size_t size) {
    if (m_fd < 0) {
        return false;
    }
    const FileOutput::Result result = m_output.append(m_owner->m_room, m_owner->m_guard, data, size);
    if (result == FileOutput::Result::NoRoom) {
        m_owner->refused(m_path, Outcome::NoRoom);
    }
    return result == FileOutput::Result::Written || fail(FileOutput::errorOf(result));
}

Outcome PendingFile::commit(const timespec& mtime) {
    if (m_fd < 0) {
        return Outcome::Failed;
    }
    if (!m_output.flush()) {
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
    m_owner->madeHere(m_path.folder(), m_path.text());
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
        if (m_output.buffered()) {
            m_owner->m_bufferLent = false;
        }
    }
    m_owner = nullptr;
    m_output.release();
}

} // namespace brisko::enginelib
