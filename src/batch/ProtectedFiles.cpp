#include "batch/ProtectedFiles.h"

#include <algorithm>
#include <sys/stat.h>

#include "batch/VolumeNames.h"

namespace brisko::batch {

namespace {

bool before(const BriskoFileId& a, const BriskoFileId& b) {
    return a.Device != b.Device ? a.Device < b.Device : a.Inode < b.Inode;
}

bool same(const BriskoFileId& a, const BriskoFileId& b) {
    return a.Device == b.Device && a.Inode == b.Inode;
}

void sortUnique(std::vector<BriskoFileId>& list) {
    std::sort(list.begin(), list.end(), before);
    list.erase(std::unique(list.begin(), list.end(), same), list.end());
}

BriskoFileId idOf(const struct stat& info) {
    return {static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)};
}

// Adds the name's own file and what a link there leads to; false when there is nothing by that name.
bool addFile(std::vector<BriskoFileId>& list, const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return false;
    }
    list.push_back(idOf(info));
    if (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) == 0) {
        list.push_back(idOf(info));
    }
    return true;
}

} // namespace

std::vector<BriskoFileId> ProtectedFilesOf(const ArchiveList& archives) {
    std::vector<BriskoFileId> list;
    list.reserve(archives.size());
    for (const std::string& archive : archives) {
        if (!addFile(list, archive)) {
            continue;
        }
        // A later volume of a ".part" set is in the list itself; its companions were added with the first.
        const std::optional<PartVolume> part = ParsePartVolume(archive);
        if (part && part->number != 1) {
            continue;
        }
        for (const std::string& volume : CompanionVolumes(archive)) {
            if (!addFile(list, volume)) {
                break;
            }
        }
    }
    sortUnique(list);
    return list;
}

void AddProtected(std::vector<BriskoFileId>& list, const std::vector<records::PassFiles::Read>& read) {
    // Called after every archive of a pass of thousands: most of what it read is in the list already.
    for (const records::PassFiles::Read& file : read) {
        const auto at = std::lower_bound(list.begin(), list.end(), file.id, before);
        if (at == list.end() || !same(*at, file.id)) {
            list.insert(at, file.id);
        }
    }
}

} // namespace brisko::batch
