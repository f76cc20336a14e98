#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "common/FileOutput.h"

namespace brisko::enginelib {

class Destination;
class RoomBudget;
class RunGuard;

// A file written for a Destination on any thread, before it has a place: a new file without a name
// (O_TMPFILE) in the destination folder, on its file system, its data counted against the destination's
// reserve of free space as it is written. Made by Destination::beginSpooled; only
// Destination::placeSpooled, on the Destination's own thread, gives it a name. Until then nothing can
// see it, so a failure, a stop or a killed process leaves nothing behind; dropping it (or destroying
// the object) frees it. Movable, so that one thread can write it and another place it; one thread at a
// time. The Destination that began it must outlive it.
class SpooledFile {
public:
    SpooledFile() = default;
    ~SpooledFile();
    SpooledFile(SpooledFile&& other) noexcept;
    SpooledFile& operator=(SpooledFile&& other) noexcept;
    SpooledFile(const SpooledFile&) = delete;
    SpooledFile& operator=(const SpooledFile&) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Appends data. False on a write error, when the data would eat into the reserve (error(), then
    // ENOSPC) or when the guard's KeepGoing said no (ECANCELED); the file is then dropped.
    bool write(const void* data, std::size_t size);

    // Writes what is buffered and gives the file the modification and access time `mtime` (and its
    // mode where the umask would take the owner's rights), on the open file; the buffer is free again.
    // False on failure (error()); the file is then dropped.
    bool seal(const timespec& mtime);

    // Frees the file; nothing of it remains.
    void drop();

    int error() const { return m_error; }
    // What seal() gave the file, and the mode it was begun with, for the one who places it.
    const timespec& mtime() const { return m_mtime; }
    mode_t archivedMode() const { return m_archivedMode; }

private:
    friend class Destination;

    bool fail(int error);

    RoomBudget* m_room = nullptr;
    const RunGuard* m_guard = nullptr;
    int m_fd = -1;
    FileOutput m_output; // through a buffer lent by whoever began the file, until seal()
    mode_t m_archivedMode = 0;
    mode_t m_fixMode = 0; // the mode to set when the umask denies the owner; 0 = none
    timespec m_mtime{};
    int m_error = 0;
};

} // namespace brisko::enginelib
