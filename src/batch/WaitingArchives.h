#pragma once

#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace brisko::batch {

// Keeps the archives of a pass that still wait for their turn from being replaced by what another
// archive extracts next to them (an archive holding "b.rar", extracted into the folder where the
// real b.rar waits): the waiting archive's content would be gone before it was ever extracted.
//
// Before an extraction each waiting archive in its destination gets a second name (a hard link,
// or, where the file system has none, the archive itself moves to that name for the time of the
// extraction); afterwards a waiting archive that was replaced or removed is put back from it.
// The second names are hidden files beside the archives and never outlive Restore().
class WaitingArchives {
public:
    WaitingArchives() = default;
    ~WaitingArchives() { Restore(); }
    WaitingArchives(const WaitingArchives&) = delete;
    WaitingArchives& operator=(const WaitingArchives&) = delete;

    // Protects each of `waiting` that lies below `destination` (a folder path without a trailing
    // separator, or "/"). An archive that cannot be given a second name is left unprotected.
    void Protect(std::span<const std::string> waiting, const std::string& destination);

    // Puts back every protected archive the extraction replaced or removed and drops the second
    // names. True when some archive had to be put back: the extraction then did not leave all its
    // entries, and counts as failed.
    bool Restore();

private:
    struct Kept {
        std::string path;
        std::string keep;
        bool moved = false; // the archive itself went to `keep`; otherwise `keep` is a second link
        dev_t device = 0;
        ino_t inode = 0;
    };
    std::vector<Kept> m_kept;
    unsigned m_counter = 0;
};

} // namespace brisko::batch
