#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brisko::platform {

bool OrdinaryFileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolder(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0;
}

bool MakeOwnerReadWrite(const std::string& path) {
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0) {
        return false;
    }
    if (S_ISLNK(link.st_mode)) {
        // A link has no permissions of its own here, and its target is none of our business.
        return OrdinaryFileExists(path);
    }
    if (!S_ISREG(link.st_mode)) {
        return false;
    }
    const mode_t wanted = link.st_mode | S_IRUSR | S_IWUSR;
    return wanted == link.st_mode || chmod(path.c_str(), wanted & 07777) == 0;
}

bool ReadFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
    entries.clear();
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) {
        return false;
    }
    const int dirFd = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        FolderEntry item;
        item.name = name;
        // d_type saves a system call per plain file; links and unknown types are looked up.
        if (entry->d_type == DT_REG) {
            item.type = EntryType::File;
        } else if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) {
            item.type = EntryType::Other;
        } else {
            struct stat st {};
            item.link = entry->d_type == DT_LNK ||
                        (entry->d_type == DT_UNKNOWN && fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISLNK(st.st_mode));
            if (fstatat(dirFd, entry->d_name, &st, 0) == 0) {
                if (S_ISDIR(st.st_mode)) {
                    item.type = EntryType::Folder;
                } else if (S_ISREG(st.st_mode)) {
                    item.type = EntryType::File;
                }
            }
        }
        entries.push_back(std::move(item));
    }
    closedir(dir);
    return true;
}

TargetKind KindInside(const std::string& folder, const std::string& relative) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = relative.find('/', start);
        path += relative.substr(start, end == std::string::npos ? std::string::npos : end - start);
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            return TargetKind::Missing;
        }
        if (end == std::string::npos) {
            if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
                return TargetKind::File;
            }
            return S_ISDIR(st.st_mode) ? TargetKind::Folder : TargetKind::Other;
        }
        if (!S_ISDIR(st.st_mode)) {
            return TargetKind::Other; // a link or a file on the way
        }
        path += '/';
        start = end + 1;
    }
}

bool RemoveFileInside(const std::string& folder, const std::string& relative) {
    if (KindInside(folder, relative) != TargetKind::File) {
        return false;
    }
    const std::string path = folder + (folder.empty() || folder.back() == '/' ? "" : "/") + relative;
    return unlink(path.c_str()) == 0;
}

bool IdentityOf(const std::string& path, dev_t& device, ino_t& inode) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    device = st.st_dev;
    inode = st.st_ino;
    return true;
}

} // namespace brisko::platform
