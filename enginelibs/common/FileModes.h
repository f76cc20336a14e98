#pragma once

#include <sys/types.h>

// What an extracted entry may become on disk and with which permissions.
namespace brisko::enginelib {

enum class EntryKind {
    File, // a regular file; also an entry whose mode carries no type at all
    Folder,
    Link,    // a symbolic link
    Special, // device, FIFO, socket or an unknown type: never created
};

// The kind of an entry from the type bits of a Unix mode (st_mode layout).
EntryKind kindOfMode(mode_t mode);

// The permissions of an extracted file: set-id and sticky bits dropped, the umask applied, the owner
// always able to read and write. `archived` holds the archive's permission bits, 0 when it records
// none (then 0644 is used).
mode_t fileMode(mode_t archived, mode_t umask);

// The same for a folder: 0755 when none are recorded; the owner can always list, enter and write.
mode_t folderMode(mode_t archived, mode_t umask);

// The process's file mode creation mask, read without changing it where the system allows.
mode_t currentUmask();

} // namespace brisko::enginelib
