#include "unzip/ZipReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace brisko::enginelib {

namespace {

constexpr std::size_t kReadBlock = std::size_t(1) << 20;
// A small archive is read in one block of its own size: a megabyte for every one of two thousand
// small archives cost more than their data.
constexpr std::size_t kSmallestReadBlock = std::size_t(64) << 10;

} // namespace

ZipReader::ZipReader(const ArchiveBytes& bytes)
    : m_bytes(bytes),
      // The size only picks the buffer; the reader finds out on its own what the file really holds.
      m_blockSize(std::clamp(static_cast<std::size_t>(std::max<std::int64_t>(bytes.size(), 0)), kSmallestReadBlock,
                             kReadBlock)) {}

ZipReader::~ZipReader() {
    if (m_archive != nullptr) {
        archive_read_free(m_archive);
    }
}

bool ZipReader::open(archive_passphrase_callback* passphrase, void* data) {
    m_archive = archive_read_new();
    if (m_archive == nullptr) {
        throw std::bad_alloc();
    }
    // The seekable reader takes names and types from the central directory, which is what every
    // other tool shows for the archive, and skips unwanted data without reading it.
    archive_read_support_format_zip_seekable(m_archive);
    if (passphrase != nullptr) {
        archive_read_set_passphrase_callback(m_archive, data, passphrase);
    }
    // Not zeroed: only what the file holds is ever read from it. An archive in memory needs none.
    if (m_bytes.image().empty()) {
        m_block = std::make_unique_for_overwrite<char[]>(m_blockSize);
    }
    m_offset = 0;
    archive_read_set_read_callback(m_archive, &ZipReader::read);
    archive_read_set_skip_callback(m_archive, &ZipReader::skip);
    archive_read_set_seek_callback(m_archive, &ZipReader::seek);
    archive_read_set_callback_data(m_archive, this);
    return archive_read_open1(m_archive) == ARCHIVE_OK;
}

la_ssize_t ZipReader::read(struct archive* reader, void* self, const void** block) {
    auto* me = static_cast<ZipReader*>(self);
    if (const std::string_view image = me->m_bytes.image(); !image.empty()) {
        const auto at = static_cast<std::size_t>(std::min<std::int64_t>(me->m_offset, std::ssize(image)));
        *block = image.data() + at;
        me->m_offset += static_cast<std::int64_t>(image.size() - at);
        return static_cast<la_ssize_t>(image.size() - at);
    }
    ssize_t got;
    do {
        got = ::pread(me->m_bytes.fd(), me->m_block.get(), me->m_blockSize, me->m_offset);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        archive_set_error(reader, errno, "Error reading the archive");
        return -1;
    }
    me->m_offset += got;
    *block = me->m_block.get();
    return got;
}

// Skipping is moving the position: what lies past the end reads as nothing, as after lseek.
la_int64_t ZipReader::skip(struct archive*, void* self, la_int64_t request) {
    auto* me = static_cast<ZipReader*>(self);
    if (request <= 0) {
        return 0;
    }
    me->m_offset += request;
    return request;
}

la_int64_t ZipReader::seek(struct archive* reader, void* self, la_int64_t offset, int whence) {
    auto* me = static_cast<ZipReader*>(self);
    std::int64_t base = 0;
    switch (whence) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = me->m_offset;
        break;
    case SEEK_END:
        base = me->m_bytes.size();
        break;
    default:
        archive_set_error(reader, EINVAL, "Error seeking in the archive");
        return ARCHIVE_FATAL;
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) {
        archive_set_error(reader, EINVAL, "Error seeking in the archive");
        return ARCHIVE_FATAL;
    }
    me->m_offset = base + offset;
    return me->m_offset;
}

timespec entryTime(archive_entry* entry) {
    if (!archive_entry_mtime_is_set(entry)) {
        return {0, UTIME_NOW};
    }
    return {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)};
}

} // namespace brisko::enginelib
