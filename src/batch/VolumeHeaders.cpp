#include "batch/VolumeHeaders.h"

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace brisko::batch {

namespace {

constexpr unsigned char kRar4Signature[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr unsigned char kRar5Signature[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
constexpr char kAceSignature[] = "**ACE**";

constexpr std::uint32_t kRar4MainHeader = 0x73;
constexpr std::uint32_t kRar4VolumeFlag = 0x0001;
constexpr std::uint64_t kRar5MainHeader = 1;
constexpr std::uint64_t kRar5ExtraArea = 0x0001;
constexpr std::uint64_t kRar5DataArea = 0x0002;
constexpr std::uint64_t kRar5VolumeFlag = 0x0001;
constexpr std::uint32_t kAceMainHeader = 0;
constexpr std::uint32_t kAceMultiVolumeFlag = 0x0800;

VolumeMark Mark(bool volume) {
    return volume ? VolumeMark::Volume : VolumeMark::Single;
}

// A RAR 5 variable-length integer: seven bits per byte, low bits first, at most ten bytes.
std::optional<std::uint64_t> ReadVint(const unsigned char* data, std::size_t size, std::size_t& at) {
    std::uint64_t value = 0;
    for (unsigned shift = 0; at < size && shift < 70; shift += 7) {
        const unsigned char byte = data[at++];
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

VolumeMark Rar5Mark(const unsigned char* data, std::size_t size) {
    std::size_t at = sizeof kRar5Signature + 4; // the header's CRC-32
    const auto headerSize = ReadVint(data, size, at);
    const auto type = ReadVint(data, size, at);
    const auto flags = ReadVint(data, size, at);
    if (!headerSize || !type || !flags || *type != kRar5MainHeader) {
        return VolumeMark::Unknown; // an encryption header, say: the main header is encrypted
    }
    if ((*flags & kRar5ExtraArea) != 0 && !ReadVint(data, size, at)) {
        return VolumeMark::Unknown;
    }
    if ((*flags & kRar5DataArea) != 0 && !ReadVint(data, size, at)) {
        return VolumeMark::Unknown;
    }
    const auto archiveFlags = ReadVint(data, size, at);
    return archiveFlags ? Mark((*archiveFlags & kRar5VolumeFlag) != 0) : VolumeMark::Unknown;
}

} // namespace

VolumeMark VolumeMarkOf(const std::string& path) {
    unsigned char data[64] = {};
    // A volume may be a link to the real file; only a regular file is read (a pipe would block).
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return VolumeMark::Unknown;
    }
    struct stat info {};
    const ssize_t got = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? read(fd, data, sizeof data) : -1;
    close(fd);
    const std::size_t size = got > 0 ? static_cast<std::size_t>(got) : 0;

    if (size >= sizeof kRar5Signature && std::memcmp(data, kRar5Signature, sizeof kRar5Signature) == 0) {
        return Rar5Mark(data, size);
    }
    if (size >= sizeof kRar4Signature + 5 && std::memcmp(data, kRar4Signature, sizeof kRar4Signature) == 0) {
        const unsigned char* header = data + sizeof kRar4Signature;
        if (header[2] != kRar4MainHeader) {
            return VolumeMark::Unknown;
        }
        return Mark(((header[3] | header[4] << 8) & kRar4VolumeFlag) != 0);
    }
    if (size >= 14 && data[4] == kAceMainHeader && std::memcmp(data + 7, kAceSignature, 7) == 0) {
        return Mark(((data[5] | data[6] << 8) & kAceMultiVolumeFlag) != 0);
    }
    return VolumeMark::Unknown;
}

} // namespace brisko::batch
