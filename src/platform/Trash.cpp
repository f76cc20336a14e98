#include "platform/Trash.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace brisko::platform {
namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kInfoFileMode = 0600;
constexpr std::string_view kInfoSuffix = ".trashinfo";
constexpr long kFallbackNameMax = 255;
// Enough to get past any realistic pile of same-named files, small enough to end a hopeless search.
constexpr int kMaxNameAttempts = 10000;

std::string joinPath(const std::string& folder, std::string_view name) {
    std::string joined = folder;
    if (joined.empty() || joined.back() != '/') {
        joined += '/';
    }
    joined += name;
    return joined;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// The folder above an absolute path without trailing slashes; "/" stays "/".
std::string parentOf(const std::string& absolute) {
    const auto slash = absolute.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : absolute.substr(0, slash);
}

std::string homeFromUserDatabase() {
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir) {
        return {};
    }
    return found->pw_dir;
}

bool isAbsolute(const char* path) {
    return path && path[0] == '/';
}

// The device a folder has, or would have once created: that of its nearest existing ancestor, since a
// folder that does not exist yet cannot be a mount point.
bool deviceOfFolderToBe(const std::string& folder, dev_t& device) {
    std::string probe = folder;
    for (;;) {
        struct stat st {};
        if (stat(probe.c_str(), &st) == 0) {
            device = st.st_dev;
            return true;
        }
        if (errno != ENOENT || probe == "/") {
            return false;
        }
        probe = parentOf(probe);
    }
}

// Missing levels are created private, as the base-directory rules ask; failures show up in the caller's
// final check, since a level may legitimately exist or be unwritable for us.
void createFolderChain(const std::string& absolute) {
    for (auto slash = absolute.find('/', 1); slash != std::string::npos;
         slash = absolute.find('/', slash + 1)) {
        mkdir(absolute.substr(0, slash).c_str(), kPrivateFolderMode);
    }
    mkdir(absolute.c_str(), kPrivateFolderMode);
}

// files/ and info/ must be real folders (not links that could lead anywhere) on the file's device,
// or the rename could not work anyway.
bool prepareSubfolders(const std::string& root, dev_t device) {
    for (const char* sub : {"files", "info"}) {
        const std::string path = joinPath(root, sub);
        mkdir(path.c_str(), kPrivateFolderMode);
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != device) {
            return false;
        }
    }
    return true;
}

bool openHomeTrash(const std::string& root, dev_t device) {
    createFolderChain(root);
    struct stat st {};
    return stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && prepareSubfolders(root, device);
}

// A per-user trash folder on a shared mount: anyone else could have planted a link or a folder of
// their own under the name, so only a real folder that belongs to us is accepted.
bool openPrivateFolder(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(path.c_str(), kPrivateFolderMode) != 0 ||
            lstat(path.c_str(), &st) != 0) {
            return false;
        }
    }
    return S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

// The mount point holding `folder`: climb while the parent is still on the same device.
std::string mountTopOf(const std::string& folder, dev_t device) {
    std::string top = folder;
    while (top != "/") {
        const std::string up = parentOf(top);
        struct stat st {};
        if (stat(up.c_str(), &st) != 0 || st.st_dev != device) {
            break;
        }
        top = up;
    }
    return top;
}

bool findMountTrash(const std::string& topdir, dev_t device, std::string& trash) {
    const std::string uid = std::to_string(getuid());

    // An administrator-provided .Trash is only trusted when it is sticky, so users cannot remove each
    // other's folders in it; a link is never followed, it could point at anyone's files.
    const std::string shared = joinPath(topdir, ".Trash");
    struct stat st {};
    if (lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0) {
        const std::string root = joinPath(shared, uid);
        if (openPrivateFolder(root) && prepareSubfolders(root, device)) {
            trash = root;
            return true;
        }
    }

    const std::string root = joinPath(topdir, ".Trash-" + uid);
    if (openPrivateFolder(root) && prepareSubfolders(root, device)) {
        trash = root;
        return true;
    }
    return false;
}

std::string percentEncoded(std::string_view path) {
    constexpr std::string_view kKept = "-_.!~*'()/";
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (const char ch : path) {
        const auto byte = static_cast<unsigned char>(ch);
        // Only ASCII letters and digits are unreserved; the locale must not decide what gets encoded.
        const bool alnum =
            (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9');
        if (alnum || kKept.find(ch) != std::string_view::npos) {
            encoded += ch;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

std::string deletionDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[32] = {};
    if (!localtime_r(&now, &local) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        return {};
    }
    return text;
}

// The name to try at a given attempt: "a.zip", then "a.2.zip", "a.3.zip", ... so that the extension
// stays last and the file still opens with the right program once restored by hand. A name too long to
// carry ".trashinfo" loses the end of its stem, cut between UTF-8 characters.
std::string candidateName(const std::string& name, int attempt, std::size_t limit) {
    auto dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) {
        dot = name.size(); // ".profile" is all stem
    }
    std::string stem = name.substr(0, dot);
    std::string extension = name.substr(dot);
    const std::string tag = attempt > 1 ? "." + std::to_string(attempt) : std::string();
    if (extension.size() + tag.size() >= limit) {
        stem = name;
        extension.clear();
    }
    const std::size_t room = limit - tag.size() - extension.size();
    if (stem.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        stem.resize(cut);
    }
    return stem + tag + extension;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// The info file is created first and exclusively: it reserves the name against other programs
// trashing at the same moment, and a file never sits in files/ without its description.
TrashOutcome moveInto(const std::string& path, const std::string& name, const std::string& trash,
                      const std::string& pathValue) {
    const std::string infoFolder = joinPath(trash, "info");
    const std::string filesFolder = joinPath(trash, "files");
    const long nameMax = pathconf(infoFolder.c_str(), _PC_NAME_MAX);
    const std::size_t limit =
        static_cast<std::size_t>(nameMax > 0 ? nameMax : kFallbackNameMax) - kInfoSuffix.size();
    const std::string content =
        "[Trash Info]\nPath=" + percentEncoded(pathValue) + "\nDeletionDate=" + deletionDate() + "\n";

    for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
        const std::string trashName = candidateName(name, attempt, limit);
        const std::string infoPath = joinPath(infoFolder, trashName + std::string(kInfoSuffix));
        const int fd =
            open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kInfoFileMode);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return TrashOutcome::NoTrash;
        }
        const std::string target = joinPath(filesFolder, trashName);
        struct stat st {};
        const bool occupied = lstat(target.c_str(), &st) == 0;
        if (occupied || errno != ENOENT) {
            close(fd);
            unlink(infoPath.c_str());
            // A leftover without its info file is not ours to overwrite; a files/ we cannot look into
            // is not a trash we can use.
            if (occupied) {
                continue;
            }
            return TrashOutcome::NoTrash;
        }
        const bool written = writeAll(fd, content);
        if (close(fd) != 0 || !written) {
            unlink(infoPath.c_str());
            return TrashOutcome::NoTrash;
        }
        if (rename(path.c_str(), target.c_str()) != 0) {
            unlink(infoPath.c_str());
            return TrashOutcome::MoveFailed;
        }
        return TrashOutcome::Trashed;
    }
    return TrashOutcome::NoTrash;
}

} // namespace

TrashPlaces TrashPlacesFromEnvironment() {
    // Relative values are ignored: resolving them against the working folder is how a trash ends up
    // created wherever the program happens to run.
    TrashPlaces places;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (isAbsolute(dataHome)) {
        places.homeTrash = joinPath(dataHome, "Trash");
        return places;
    }
    const char* homeVariable = std::getenv("HOME");
    const std::string home = isAbsolute(homeVariable) ? std::string(homeVariable) : homeFromUserDatabase();
    if (!home.empty() && home.front() == '/') {
        places.homeTrash = joinPath(joinPath(home, ".local/share"), "Trash");
    }
    return places;
}

TrashOutcome MoveToTrash(const std::string& path, const TrashPlaces& places) {
    struct stat st {};
    if (path.empty() || lstat(path.c_str(), &st) != 0) {
        return TrashOutcome::NotFound;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        return TrashOutcome::NotAFile;
    }

    // Only the folder is resolved: the file itself may be a link, and the link is what gets trashed.
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char* resolved = realpath(parent.c_str(), nullptr);
    if (!resolved) {
        return TrashOutcome::NoTrash;
    }
    const std::string folder = resolved;
    std::free(resolved);
    const std::string original = joinPath(folder, name);

    std::string homeTrash =
        places.homeTrash.empty() ? TrashPlacesFromEnvironment().homeTrash : places.homeTrash;
    homeTrash = withoutTrailingSlashes(homeTrash);
    dev_t homeDevice = 0;
    // Without a home trash we cannot tell which files belong in it, and a per-mount trash on the home
    // file system would be the wrong place for them.
    if (!isAbsolute(homeTrash.c_str()) || !deviceOfFolderToBe(homeTrash, homeDevice)) {
        return TrashOutcome::NoTrash;
    }

    if (homeDevice == st.st_dev) {
        if (!openHomeTrash(homeTrash, st.st_dev)) {
            return TrashOutcome::NoTrash;
        }
        return moveInto(path, name, homeTrash, original);
    }

    // Never the home trash for another file system: that would be a copy, and a copy is not a rename.
    const std::string topdir = mountTopOf(folder, st.st_dev);
    std::string trash;
    if (!findMountTrash(topdir, st.st_dev, trash)) {
        return TrashOutcome::NoTrash;
    }
    const std::string relative = topdir == "/" ? original.substr(1) : original.substr(topdir.size() + 1);
    return moveInto(path, name, trash, relative);
}

} // namespace brisko::platform
