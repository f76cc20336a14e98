#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace brisko::enginelib {

// The bytes of the archive open as a regular file: read from its descriptor where they are asked for,
// or, for a small archive, from one copy in memory made by a single read. The engine reads an archive's
// end and its directory several times over (its own check, then each reader's), which for a file of a
// few kilobytes cost more calls than extracting it. Read-only after construction: any thread may read.
class ArchiveBytes {
public:
    // `fd` (a regular file of `size` bytes) stays the caller's and must stay open while the object lives.
    // Throws std::bad_alloc when the copy cannot be made.
    ArchiveBytes(int fd, std::int64_t size);

    int fd() const { return m_fd; }
    std::int64_t size() const { return m_size; }
    // The whole file, when it is held in memory; empty otherwise.
    std::string_view image() const { return m_image; }

    // Reads exactly `size` bytes at `offset`. False when the file does not hold them (or a read fails).
    bool readAt(std::uint64_t offset, void* data, std::size_t size) const;

private:
    int m_fd;
    std::int64_t m_size;
    std::unique_ptr<char[]> m_copy;
    std::string_view m_image;
};

} // namespace brisko::enginelib
