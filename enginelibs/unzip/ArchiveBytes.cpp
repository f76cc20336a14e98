#include "unzip/ArchiveBytes.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace brisko::enginelib {

namespace {

// Up to this size an archive is read whole, once: the readers would otherwise each read it whole
// several times in blocks of their own.
constexpr std::int64_t kLargestCopy = std::int64_t(1) << 20;

bool preadAll(int fd, std::uint64_t offset, char* out, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

} // namespace

ArchiveBytes::ArchiveBytes(int fd, std::int64_t size) : m_fd(fd), m_size(size) {
    if (size <= 0 || size > kLargestCopy) {
        return;
    }
    // Not zeroed: every byte is read over. A file that turns out shorter than it was is read from its
    // descriptor, where the readers find out for themselves.
    m_copy = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(size));
    if (preadAll(fd, 0, m_copy.get(), static_cast<std::size_t>(size))) {
        m_image = std::string_view(m_copy.get(), static_cast<std::size_t>(size));
    } else {
        m_copy.reset();
    }
}

bool ArchiveBytes::readAt(std::uint64_t offset, void* data, std::size_t size) const {
    if (m_image.empty()) {
        return preadAll(m_fd, offset, static_cast<char*>(data), size);
    }
    if (offset > m_image.size() || size > m_image.size() - offset) {
        return false;
    }
    std::memcpy(data, m_image.data() + offset, size);
    return true;
}

} // namespace brisko::enginelib
