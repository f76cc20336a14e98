#include "acedec/ByteSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brisko::acedec {

MemorySource::MemorySource(std::vector<std::uint8_t> bytes)
    : m_owned(std::move(bytes)), m_data(m_owned.data()), m_size(m_owned.size()) {}

MemorySource::MemorySource(const void* data, std::size_t size)
    : m_data(static_cast<const std::uint8_t*>(data)), m_size(data ? size : 0) {}

std::size_t MemorySource::readAt(std::uint64_t offset, void* buffer, std::size_t length) const {
    if (offset >= m_size) {
        return 0;
    }
    const std::size_t n = std::min<std::uint64_t>(length, m_size - offset);
    std::memcpy(buffer, m_data + offset, n);
    return n;
}

std::unique_ptr<FileSource> FileSource::open(const std::string& path) {
    // O_NONBLOCK so that opening a FIFO cannot hang; it is refused just below anyway.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FileSource>(new FileSource(fd, st));
}

FileSource::~FileSource() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::size_t FileSource::readAt(std::uint64_t offset, void* buffer, std::size_t length) const {
    if (offset >= m_size) {
        return 0;
    }
    length = std::min<std::uint64_t>(length, m_size - offset);
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(m_fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace brisko::acedec
