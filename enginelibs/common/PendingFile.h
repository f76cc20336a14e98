#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

#include "common/FileOutput.h"
#include "common/SafePath.h"

namespace brisko::enginelib {

class Destination;
enum class Outcome;

// A file being extracted: its data goes to a new file without a name (or, where the file system
// cannot keep one unnamed, with a temporary name) in the target's folder, and only commit() puts it
// in place, so a failed, stopped or refused entry, or a killed process, leaves no file behind and an
// existing target untouched. Made by Destination::beginFile; an object that was never begun or is
// already finished does nothing. The destructor abandons an unfinished file. The Destination that
// began it must outlive it.
class PendingFile {
public:
    PendingFile() = default;
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Appends data. False on a write error (errno in error(), ENOSPC when the disk is full or the
    // data would eat into the destination's reserve of free space, ECANCELED when the run's guard
    // said to stop); the file is then abandoned.
    bool write(const void* data, std::size_t size);

    // Writes what is buffered, sets the modification and access time to `mtime` (and the mode where
    // the umask would take the owner's rights) on the open file, never through a path, and puts it at
    // the target; a file or link there is replaced, not followed. Done, Protected when the target is
    // a file the guard protects (it stays as it was), or Failed (errno in error(), EISDIR when a
    // folder holds the target's name). Unless Done, the new file is gone.
    Outcome commit(const timespec& mtime);

    // Removes the temporary file; the target stays as it was.
    void abandon();

    int error() const { return m_error; }
    // Whether the file was abandoned because the run's guard said to stop.
    bool cancelled() const { return m_error == ECANCELED; }

private:
    friend class Destination;

    bool fail(int error);

    Destination* m_owner = nullptr; // lends its folder descriptor and its write buffer while open
    int m_folder = -1;              // the target's folder, borrowed from m_owner
    int m_fd = -1;
    std::string m_tempName; // empty while the file has no name
    std::string m_targetName;
    SafePath m_path;
    mode_t m_fixMode = 0; // the mode to set at commit when the umask denies the owner; 0 = none
    FileOutput m_output; // through m_owner's write buffer when it was free
    int m_error = 0;
};

} // namespace brisko::enginelib
