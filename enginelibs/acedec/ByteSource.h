#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace brisko::acedec {

// One volume of an archive: a fixed-size run of bytes that can be read at any offset.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Total size in bytes; it does not change while the source is open.
    virtual std::uint64_t size() const = 0;

    // Copies up to `length` bytes starting at `offset` into `buffer` and returns how many were copied.
    // Fewer than asked means the end of the source was reached or the read failed; offsets at or past
    // size() return 0.
    virtual std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t length) const = 0;
};

// A source over bytes held in memory. It either owns a copy or borrows the caller's bytes, which must
// then outlive it.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::vector<std::uint8_t> bytes);
    MemorySource(const void* data, std::size_t size); // borrows

    std::uint64_t size() const override { return m_size; }
    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t length) const override;

private:
    std::vector<std::uint8_t> m_owned;
    const std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
};

// A source over a regular file, read with positioned reads. Only regular files are accepted: a FIFO
// or device under a volume's name would block or never end.
class FileSource : public ByteSource {
public:
    // Null when the path cannot be opened or is not a regular file.
    static std::unique_ptr<FileSource> open(const std::string& path);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    std::uint64_t size() const override { return m_size; }
    std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t length) const override;

    // What the file was when it was opened (device, inode, size).
    const struct stat& info() const { return m_info; }

private:
    FileSource(int fd, const struct stat& info)
        : m_fd(fd), m_size(static_cast<std::uint64_t>(info.st_size)), m_info(info) {}

    int m_fd = -1;
    std::uint64_t m_size = 0;
    struct stat m_info {};
};

} // namespace brisko::acedec
