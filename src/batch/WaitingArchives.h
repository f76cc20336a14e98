#pragma once

#include <span>
#include <string>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace brisko::batch {

// Keeps the archives of a pass that still wait for their turn from being replaced by what another
// archive extracts next to them (an archive holding "b.rar", extracted into the folder where the
// real b.rar waits): the waiting archive's content would be gone before it was ever extracted.
//
// For the whole pass each archive has a second name, a hard link beside it, so its content
// survives a replacement; the folders are watched (inotify), so that after an extraction only the
// names it touched are looked at, and a waiting archive it replaced or removed is put back. Where the
// file system has no hard links, the archives inside an extraction's destination step aside to a
// second name for the time of that extraction instead. The second names are hidden files that never
// outlive the object.
class WaitingArchives {
public:
    // Guards every archive of the pass.
    explicit WaitingArchives(std::span<const std::string> archives);
    ~WaitingArchives();
    WaitingArchives(const WaitingArchives&) = delete;
    WaitingArchives& operator=(const WaitingArchives&) = delete;

    // `archive`'s turn has come: from now on it is its own extraction's. `destination` (a folder
    // path without a trailing separator, or "/") is where that extraction writes.
    void BeginExtraction(const std::string& archive, const std::string& destination);

    // After the extraction: puts back every waiting archive it replaced or removed. True when one had
    // to be put back: the extraction then did not leave all its entries, and counts as failed.
    bool EndExtraction();

private:
    struct Guard {
        std::string keep; // the second name
        dev_t device = 0;
        ino_t inode = 0;
    };
    struct SteppedAside {
        std::string path;
        std::string keep;
    };

    std::string SecondName(const std::string& path);
    void Watch(const std::string& folder);
    void CollectTouched();

    std::unordered_map<std::string, Guard> m_guards;  // by path
    std::vector<std::string> m_unlinkable;             // waiting, on a file system without hard links
    std::vector<SteppedAside> m_steppedAside;           // during one extraction
    std::vector<std::string> m_touched;                 // names the last extraction touched
    std::unordered_map<int, std::string> m_watches;     // inotify watch -> folder, with its separator
    std::unordered_map<std::string, int> m_watched;     // folder -> watch
    int m_inotify = -1;
    bool m_lookAtAll = false; // no watch (or lost events): every guard is looked at
    unsigned m_counter = 0;
};

} // namespace brisko::batch
