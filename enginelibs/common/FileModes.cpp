#include "common/FileModes.h"

#include <cstdio>
#include <sys/stat.h>

namespace brisko::enginelib {

namespace {

constexpr mode_t kPermissionBits = 0777; // leaves out set-user-id, set-group-id and sticky

mode_t permissions(mode_t archived, mode_t fallback, mode_t owner, mode_t umask) {
    mode_t mode = archived & kPermissionBits;
    if (mode == 0) {
        // Many writers store no permissions at all; nobody means "unreadable" by a zero.
        mode = fallback;
    }
    return ((mode | owner) & ~umask) | owner;
}

} // namespace

EntryKind kindOfMode(mode_t mode) {
    switch (mode & S_IFMT) {
    case 0:
    case S_IFREG:
        return EntryKind::File;
    case S_IFDIR:
        return EntryKind::Folder;
    case S_IFLNK:
        return EntryKind::Link;
    default:
        return EntryKind::Special;
    }
}

mode_t fileMode(mode_t archived, mode_t umask) {
    return permissions(archived, 0644, S_IRUSR | S_IWUSR, umask);
}

mode_t folderMode(mode_t archived, mode_t umask) {
    return permissions(archived, 0755, S_IRWXU, umask);
}

mode_t currentUmask() {
    // umask(2) can only be read by setting it, which would race with other threads creating files;
    // Linux shows it in /proc since 4.7.
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned value = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) {
            found = std::sscanf(line, "Umask: %o", &value) == 1;
        }
        std::fclose(status);
        if (found) {
            return static_cast<mode_t>(value) & kPermissionBits;
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

} // namespace brisko::enginelib
