#include "common/RoomBudget.h"

#include <algorithm>
#include <sys/statvfs.h>

namespace brisko::enginelib {

namespace {

constexpr std::uint64_t kLargestReserve = std::uint64_t(1) << 30;
constexpr std::uint64_t kReserveDivisor = 20;
// How far the writing may run on the last answer about free space before asking again, and what a
// new file counts at least (a block, whatever its size).
constexpr std::uint64_t kCheckInterval = std::uint64_t(1) << 20;
constexpr std::uint64_t kSmallestFile = 4096;

} // namespace

bool RoomBudget::admit(int fd, std::uint64_t declaredSize) {
    const std::lock_guard lock(m_mutex);
    return haveLocked(fd, std::max(declaredSize, kSmallestFile), false) && haveLocked(fd, kSmallestFile, true);
}

bool RoomBudget::wrote(int fd, std::uint64_t& unchecked, std::size_t size) {
    unchecked += size;
    if (unchecked < kCheckInterval) {
        return true;
    }
    const std::uint64_t bytes = unchecked;
    unchecked = 0;
    const std::lock_guard lock(m_mutex);
    return haveLocked(fd, bytes, true);
}

bool RoomBudget::haveLocked(int fd, std::uint64_t bytes, bool use) {
    // Another program, or another thread of this one, may be filling the disk too: what is left is asked
    // again after every MiB.
    if (!m_known || m_usedSinceLook >= kCheckInterval || m_room < bytes) {
        struct statvfs info {};
        if (::fstatvfs(fd, &info) != 0 || info.f_blocks == 0) {
            return true; // a file system that cannot tell: the writes themselves will
        }
        const std::uint64_t total = static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize;
        const std::uint64_t available = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
        const std::uint64_t reserve = std::min(total / kReserveDivisor, kLargestReserve);
        m_room = available > reserve ? available - reserve : 0;
        m_known = true;
        m_usedSinceLook = 0;
    }
    if (m_room < bytes) {
        return false;
    }
    if (use) {
        m_room -= bytes;
        m_usedSinceLook += bytes;
    }
    return true;
}

} // namespace brisko::enginelib
