#include "batch/WaitingArchives.h"

#include <cstdio>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "batch/PathHelpers.h"

namespace brisko::batch {

namespace {

bool IsBelow(std::string_view path, std::string_view folder) {
    if (folder == "/") {
        return path.size() > 1 && path.front() == '/';
    }
    return path.size() > folder.size() + 1 && path.substr(0, folder.size()) == folder && path[folder.size()] == '/';
}

} // namespace

void WaitingArchives::Protect(std::span<const std::string> waiting, const std::string& destination) {
    for (const std::string& path : waiting) {
        struct stat info {};
        if (!IsBelow(path, destination) || lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        Kept kept{path, FolderOf(path) + ".brisko-waiting-" + std::to_string(getpid()) + "-" +
                            std::to_string(++m_counter),
                  false, info.st_dev, info.st_ino};
        if (link(path.c_str(), kept.keep.c_str()) != 0) {
            // FAT and some network file systems have no hard links: the archive steps aside instead.
            if (std::rename(path.c_str(), kept.keep.c_str()) != 0) {
                continue;
            }
            kept.moved = true;
        }
        m_kept.push_back(std::move(kept));
    }
}

bool WaitingArchives::Restore() {
    bool putBack = false;
    for (const Kept& kept : m_kept) {
        struct stat info {};
        const bool present = lstat(kept.path.c_str(), &info) == 0;
        const bool untouched = !kept.moved && present && info.st_dev == kept.device && info.st_ino == kept.inode;
        if (untouched) {
            unlink(kept.keep.c_str());
            continue;
        }
        // Replaced, removed, or (when it had stepped aside) something new put at its name.
        putBack = putBack || !kept.moved || present;
        std::rename(kept.keep.c_str(), kept.path.c_str());
    }
    m_kept.clear();
    return putBack;
}

} // namespace brisko::batch
