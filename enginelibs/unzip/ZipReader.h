#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>

#include "unzip/ArchiveBytes.h"

namespace brisko::enginelib {

// A libarchive reader (the seekable ZIP format) of the archive `bytes`, reading with pread at a position
// of its own, or straight from the copy in memory: any number of readers, on any threads, share the one
// descriptor without sharing a file offset, and no reader opens the file again.
class ZipReader {
public:
    // `bytes` must outlive the reader.
    explicit ZipReader(const ArchiveBytes& bytes);
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    // Starts reading at the start of the file. `passphrase` (with `data`, may be null) answers the
    // reader's requests for a password. False when the reader does not take the file; archive() still
    // says why. Throws std::bad_alloc when no reader can be made.
    bool open(archive_passphrase_callback* passphrase = nullptr, void* data = nullptr);

    struct archive* archive() const { return m_archive; }

private:
    static la_ssize_t read(struct archive* reader, void* self, const void** block);
    static la_int64_t skip(struct archive* reader, void* self, la_int64_t request);
    static la_int64_t seek(struct archive* reader, void* self, la_int64_t offset, int whence);

    const ArchiveBytes& m_bytes;
    std::int64_t m_offset = 0;
    std::size_t m_blockSize;
    std::unique_ptr<char[]> m_block;
    struct archive* m_archive = nullptr;
};

// The modification time the reader gives `entry`; UTIME_NOW (the time of writing) when it has none.
timespec entryTime(archive_entry* entry);

} // namespace brisko::enginelib
