#include "common/SpooledFile.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace brisko::enginelib {

SpooledFile::~SpooledFile() {
    drop();
}

SpooledFile::SpooledFile(SpooledFile&& other) noexcept {
    *this = std::move(other);
}

SpooledFile& SpooledFile::operator=(SpooledFile&& other) noexcept {
    if (this != &other) {
        drop();
        m_room = std::exchange(other.m_room, nullptr);
        m_guard = std::exchange(other.m_guard, nullptr);
        m_fd = std::exchange(other.m_fd, -1);
        m_output = std::exchange(other.m_output, FileOutput{});
        m_archivedMode = other.m_archivedMode;
        m_fixMode = other.m_fixMode;
        m_mtime = other.m_mtime;
        m_error = other.m_error;
    }
    return *this;
}

bool SpooledFile::fail(int error) {
    m_error = error;
    drop();
    return false;
}

bool SpooledFile::write(const void* data, std::size_t size) {
    if (m_fd < 0) {
        return false;
    }
    const FileOutput::Result result = m_output.append(*m_room, m_guard, data, size);
    return result == FileOutput::Result::Written || fail(FileOutput::errorOf(result));
}

bool SpooledFile::seal(const timespec& mtime) {
    if (m_fd < 0) {
        return false;
    }
    if (!m_output.flush()) {
        return fail(errno);
    }
    const timespec times[2] = {mtime, mtime};
    if ((m_fixMode != 0 && ::fchmod(m_fd, m_fixMode) != 0) || ::futimens(m_fd, times) != 0) {
        return fail(errno);
    }
    m_mtime = mtime;
    m_output.release();
    return true;
}

void SpooledFile::drop() {
    if (m_fd >= 0) {
        ::close(m_fd); // the file had no name: closing it frees it
        m_fd = -1;
    }
    m_output.release();
}

} // namespace brisko::enginelib
