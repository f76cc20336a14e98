#include "common/Destination.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/FileModes.h"

namespace brisko::enginelib {

namespace {

// Past this many open folders all are closed and reopened on demand, so a tree of any size stays
// within the descriptor limit. A few hundred keep the folders an archive fills in turn open (archives
// that deal their files out over a couple of hundred folders are common, and reopening a folder for
// every file doubled the calls per file); at most a quarter of the limit leaves the rest to the caller
// and to the files being written.
constexpr std::size_t kFewestOpenFolders = 16;
constexpr std::size_t kMostOpenFolders = 256;
constexpr std::size_t kWriteBuffer = std::size_t(1) << 20;
constexpr std::size_t kCopyBuffer = std::size_t(1) << 16;
constexpr int kTempAttempts = 100;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Temporary names: ".brisko-<pid>-<counter>.part".
constexpr std::string_view kTempPrefix = ".brisko-";
constexpr std::string_view kTempSuffix = ".part";

// The process that made a temporary, or 0 when the name is not one of ours.
pid_t temporaryOwner(std::string_view name) {
    if (name.size() <= kTempPrefix.size() + kTempSuffix.size() ||
        name.substr(0, kTempPrefix.size()) != kTempPrefix ||
        name.substr(name.size() - kTempSuffix.size()) != kTempSuffix) {
        return 0;
    }
    name = name.substr(kTempPrefix.size(), name.size() - kTempPrefix.size() - kTempSuffix.size());
    const std::size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == name.size() || dash > 9) {
        return 0;
    }
    pid_t pid = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (i == dash) {
            continue;
        }
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        if (i < dash) {
            pid = pid * 10 + (name[i] - '0');
        }
    }
    return pid;
}

// The path through which an open file can be given a name (O_TMPFILE files have none).
std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int openChildFolder(int parent, const char* name) {
    int fd;
    do {
        fd = ::openat(parent, name, kFolderFlags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

std::size_t openFolderLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kMostOpenFolders;
    }
    return std::clamp(static_cast<std::size_t>(limit.rlim_cur / 4), kFewestOpenFolders, kMostOpenFolders);
}

// What every Destination of the process goes by. Brisko sets neither its umask nor its descriptor limit
// while it runs, and /proc stays where it is: asked once, not for every archive, where the questions
// cost more than writing an archive of a few small files.
struct ProcessFacts {
    mode_t umask;
    std::size_t maxOpenFolders;
    bool procFds; // an unnamed file is named through /proc; without it every file needs a temporary name
};

const ProcessFacts& processFacts() {
    static const ProcessFacts facts{currentUmask(), openFolderLimit(), ::access("/proc/self/fd", X_OK) == 0};
    return facts;
}

ExistingTarget::Kind kindOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return ExistingTarget::Kind::File;
    case S_IFDIR:
        return ExistingTarget::Kind::Folder;
    case S_IFLNK:
        return ExistingTarget::Kind::Link;
    default:
        return ExistingTarget::Kind::Other;
    }
}

} // namespace

Destination::Destination(const std::string& folder, const RunGuard* guard)
    : m_umask(processFacts().umask), m_maxOpenFolders(processFacts().maxOpenFolders), m_guard(guard),
      m_unnamed(processFacts().procFds) {
    m_root = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_root < 0) {
        m_error = errno;
    }
}

pid_t Destination::pid() {
    // Only temporary names need it.
    if (m_pid == 0) {
        m_pid = ::getpid();
    }
    return m_pid;
}

Destination::~Destination() {
    closeFolders();
    if (m_root >= 0) {
        ::close(m_root);
    }
}

void Destination::closeFolders() {
    for (const auto& [path, fd] : m_folders) {
        ::close(fd);
    }
    m_folders.clear();
}

Destination::Walk Destination::classify(int parent, const std::string& name, int error) {
    if (error == ENOENT) {
        return Walk::Missing; // a link or a file in the way fails the open otherwise (ELOOP, ENOTDIR)
    }
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            return Walk::ThroughLink;
        }
        if (!S_ISDIR(st.st_mode)) {
            return Walk::NotFolder;
        }
    }
    m_error = error;
    return Walk::Error;
}

Destination::Walk Destination::openFolder(std::string_view folder, bool create, int& fd) {
    if (folder.empty()) {
        fd = m_root;
        return Walk::Open;
    }
    std::string path(folder);
    if (const auto found = m_folders.find(path); found != m_folders.end()) {
        fd = found->second;
        return Walk::Open;
    }
    // Start below the deepest folder already open.
    int parent = m_root;
    bool parentOwned = false; // not kept in m_folders: close it once the child is open
    std::size_t start = 0;
    for (std::size_t cut = path.rfind('/'); cut != std::string::npos && cut > 0;
         cut = path.rfind('/', cut - 1)) {
        if (const auto found = m_folders.find(path.substr(0, cut)); found != m_folders.end()) {
            parent = found->second;
            start = cut + 1;
            break;
        }
    }
    while (true) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string name = path.substr(start, end - start);
        // A folder a look-up just found missing is made straight away (if another process made it
        // meanwhile, the make fails and it is opened as usual).
        const bool knownMissing =
            create && !m_missing.empty() && std::string_view(path).substr(0, end) == m_missing;
        int child = -1;
        if (knownMissing) {
            m_missing.clear();
            errno = ENOENT;
        } else {
            child = openChildFolder(parent, name.c_str());
        }
        if (child < 0 && errno == ENOENT && create) {
            if (::mkdirat(parent, name.c_str(), folderMode(0, m_umask)) == 0) {
                madeHere(std::string_view(path).substr(0, start == 0 ? 0 : start - 1),
                         std::string_view(path).substr(0, end));
                m_created.insert(path.substr(0, end));
            } else if (errno != EEXIST) {
                m_error = errno;
                if (parentOwned) {
                    ::close(parent);
                }
                return Walk::Error;
            }
            child = openChildFolder(parent, name.c_str());
            if (child >= 0 && (m_umask & S_IRWXU) != 0) {
                ::fchmod(child, folderMode(0, m_umask));
            }
        }
        if (child < 0) {
            const Walk walk = classify(parent, name, errno);
            if (walk == Walk::Missing && !create) {
                m_missing = path.substr(0, end);
            }
            if (parentOwned) {
                ::close(parent);
            }
            return walk;
        }
        if (parentOwned) {
            ::close(parent);
        }
        const bool last = end == path.size();
        // The folder asked for is always kept, so that the caller's descriptor stays valid until the
        // next walk; folders on the way only while there is room. Pending files use the descriptors
        // of their folders, so nothing is closed while one is open.
        if (last && m_folders.size() >= m_maxOpenFolders && m_openFiles == 0) {
            closeFolders();
        }
        parentOwned = !last && m_folders.size() >= m_maxOpenFolders;
        if (!parentOwned) {
            m_folders.emplace(path.substr(0, end), child);
        }
        parent = child;
        if (last) {
            break;
        }
        start = end + 1;
    }
    fd = parent;
    return Walk::Open;
}

Outcome Destination::outcomeOf(Walk walk) const {
    switch (walk) {
    case Walk::Open:
    case Walk::Missing:
        return Outcome::Done;
    case Walk::ThroughLink:
        return Outcome::Refused;
    case Walk::NotFolder:
        return Outcome::Conflict;
    case Walk::Error:
        break;
    }
    return Outcome::Failed;
}

Outcome Destination::lookup(const SafePath& path, ExistingTarget& target) {
    target = ExistingTarget{};
    // A folder made here held nothing when it was made, and only this object has put anything in it
    // since: a name it did not put there is not there. (Another process filling the folder meanwhile
    // is what the object never guards against; it still never replaces what it finds at placing.)
    if (m_created.count(std::string(path.folder())) != 0 && m_madeInCreated.count(path.text()) == 0) {
        return Outcome::Done;
    }
    int folder = -1;
    const Walk walk = openFolder(path.folder(), false, folder);
    if (walk != Walk::Open) {
        return outcomeOf(walk);
    }
    struct stat st {};
    if (::fstatat(folder, std::string(path.leaf()).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return Outcome::Done;
        }
        m_error = errno;
        return Outcome::Failed;
    }
    target.kind = kindOf(st.st_mode);
    target.mtime = st.st_mtim;
    return Outcome::Done;
}

Outcome Destination::makeFolder(const SafePath& path, mode_t archivedMode, const timespec& mtime,
                                bool& created) {
    created = false;
    int parent = -1;
    Walk walk = openFolder(path.folder(), true, parent);
    if (walk != Walk::Open) {
        return outcomeOf(walk);
    }
    const std::string leaf(path.leaf());
    if (::mkdirat(parent, leaf.c_str(), folderMode(archivedMode, m_umask)) == 0) {
        created = true;
        madeHere(path.folder(), path.text());
        m_created.insert(path.text());
    } else if (errno != EEXIST) {
        m_error = errno;
        return Outcome::Failed;
    }
    int fd = -1;
    walk = openFolder(path.text(), false, fd);
    if (walk != Walk::Open) {
        return walk == Walk::Missing ? Outcome::Failed : outcomeOf(walk);
    }
    if (m_created.count(path.text()) != 0) {
        m_folderAttributes.push_back({path.text(), archivedMode, mtime});
    }
    return Outcome::Done;
}

std::string Destination::nextTempName() {
    return ".brisko-" + std::to_string(pid()) + "-" + std::to_string(++m_tempCounter) + ".part";
}

bool Destination::createTemp(std::string& name, const std::function<int(const char*)>& make) {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        name = nextTempName();
        if (make(name.c_str()) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    m_error = errno;
    name.clear();
    return false;
}

void Destination::madeHere(std::string_view folder, std::string_view path) {
    if (m_created.count(std::string(folder)) != 0) {
        m_madeInCreated.emplace(path);
    }
}

void Destination::refused(const SafePath& path, Outcome outcome) {
    if (m_guard != nullptr) {
        m_guard->entryFailed(path.text(), outcome == Outcome::NoRoom
                                              ? "not enough free space"
                                              : "would replace an archive of this run");
    }
}

Outcome Destination::beginFile(const SafePath& path, mode_t archivedMode, PendingFile& file,
                               std::uint64_t declaredSize) {
    file.abandon();
    int folder = -1;
    const Walk walk = openFolder(path.folder(), true, folder);
    if (walk != Walk::Open) {
        return outcomeOf(walk);
    }
    // What the archive announces has to fit; a file takes at least a block whatever it holds, and
    // its data counts as it is written.
    if (!m_room.admit(folder, declaredSize)) {
        m_error = ENOSPC;
        refused(path, Outcome::NoRoom);
        return Outcome::NoRoom;
    }
    const mode_t mode = fileMode(archivedMode, m_umask);
    int fd = -1;
    std::string tempName;
    if (m_unnamed) {
        // A file without a name until it is whole: a failed entry, or a killed process, leaves
        // nothing behind at all.
        fd = ::openat(folder, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, mode);
        if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT)) {
            m_unnamed = false; // the file system cannot
        } else if (fd < 0) {
            m_error = errno;
            return Outcome::Failed;
        }
    }
    if (!m_unnamed) {
        sweepStaleTemporaries(folder, std::string(path.folder()));
        const bool made = createTemp(tempName, [&](const char* name) {
            fd = ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            return fd >= 0 ? 0 : -1;
        });
        if (!made) {
            return Outcome::Failed;
        }
    }
    ++m_openFiles;
    file.m_owner = this;
    file.m_folder = folder;
    file.m_fd = fd;
    file.m_tempName = std::move(tempName);
    file.m_targetName = std::string(path.leaf());
    file.m_path = path;
    file.m_fixMode = (m_umask & (S_IRUSR | S_IWUSR)) != 0 ? mode : 0;
    file.m_error = 0;
    char* buffer = nullptr;
    if (!m_bufferLent) {
        if (!m_buffer) {
            // Not zeroed: clearing a megabyte for every archive cost more than extracting a small one,
            // and only the pages a file's data reaches are ever touched.
            m_buffer = std::make_unique_for_overwrite<char[]>(kWriteBuffer);
        }
        m_bufferLent = true;
        buffer = m_buffer.get();
    }
    file.m_output.start(fd, buffer, kWriteBuffer);
    return Outcome::Done;
}

bool Destination::isProtected(int folder, const std::string& name) {
    struct stat st {};
    return m_guard != nullptr && ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           m_guard->protects(st);
}

Outcome Destination::placeFile(int folder, int fd, std::string& tempName, const std::string& target,
                               int& error) {
    if (tempName.empty()) {
        const std::string source = procPath(fd);
        if (::linkat(AT_FDCWD, source.c_str(), folder, target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return Outcome::Done;
        }
        if (errno != EEXIST) {
            error = errno;
            return Outcome::Failed;
        }
        // A link never replaces: the whole new file gets a name of its own, then takes the target's.
        if (isProtected(folder, target)) {
            return Outcome::Protected;
        }
        if (!createTemp(tempName, [&](const char* name) {
                return ::linkat(AT_FDCWD, source.c_str(), folder, name, AT_SYMLINK_FOLLOW);
            })) {
            error = m_error;
            return Outcome::Failed;
        }
    } else if (isProtected(folder, target)) {
        return Outcome::Protected;
    }
    if (::renameat(folder, tempName.c_str(), folder, target.c_str()) != 0) {
        error = errno;
        return Outcome::Failed;
    }
    tempName.clear();
    return Outcome::Done;
}

void Destination::sweepStaleTemporaries(int folder, const std::string& relative) {
    if (!m_swept.insert(relative).second) {
        return;
    }
    const int copy = ::dup(folder);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0) {
            ::close(copy);
        }
        return;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t owner = temporaryOwner(entry->d_name);
        // Only what a process that no longer runs left: a live one may still be writing it.
        if (owner <= 0 || owner == pid() || ::kill(owner, 0) == 0 || errno != ESRCH) {
            continue;
        }
        struct stat st {};
        if (::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            ::unlinkat(folder, entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

Outcome Destination::makeLink(const SafePath& path, std::string_view target, Separators separators,
                              const timespec& mtime, LinkVerdict& verdict) {
    std::string text;
    verdict = checkLinkTarget(path, target, separators, text);
    if (verdict != LinkVerdict::Safe) {
        return Outcome::Refused;
    }
    int folder = -1;
    const Walk walk = openFolder(path.folder(), true, folder);
    if (walk != Walk::Open) {
        return outcomeOf(walk);
    }
    const std::string leaf(path.leaf());
    const timespec times[2] = {mtime, mtime};
    if (::symlinkat(text.c_str(), folder, leaf.c_str()) == 0) {
        ::utimensat(folder, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW);
        madeHere(path.folder(), path.text());
        return Outcome::Done;
    }
    if (errno != EEXIST) {
        m_error = errno;
        return Outcome::Failed;
    }
    // Something is there: the link is made under a temporary name and takes its place.
    if (isProtected(folder, leaf)) {
        refused(path, Outcome::Protected);
        return Outcome::Protected;
    }
    std::string tempName;
    if (!createTemp(tempName, [&](const char* name) { return ::symlinkat(text.c_str(), folder, name); })) {
        return Outcome::Failed;
    }
    ::utimensat(folder, tempName.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (::renameat(folder, tempName.c_str(), folder, leaf.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(folder, tempName.c_str(), 0);
        if (error == EISDIR || error == ENOTEMPTY || error == EEXIST) {
            return Outcome::Conflict;
        }
        m_error = error;
        return Outcome::Failed;
    }
    madeHere(path.folder(), path.text());
    return Outcome::Done;
}

Outcome Destination::linkOrCopy(const SafePath& path, const SafePath& existing, bool copy,
                                mode_t archivedMode, const timespec& mtime) {
    int folder = -1;
    Walk walk = openFolder(existing.folder(), false, folder);
    if (walk != Walk::Open) {
        return walk == Walk::Missing ? Outcome::Refused : outcomeOf(walk);
    }
    // The source is opened without following a link at its name: it must be a file of the destination.
    const int source = ::openat(folder, std::string(existing.leaf()).c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (source < 0 || ::fstat(source, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (source >= 0) {
            ::close(source);
        }
        return Outcome::Refused;
    }
    Outcome outcome = Outcome::Failed;
    copy = copy || !m_unnamed; // a second name is given through /proc, like an unnamed file's first
    if (!copy) {
        walk = openFolder(path.folder(), true, folder);
        if (walk != Walk::Open) {
            ::close(source);
            return outcomeOf(walk);
        }
        std::string tempName;
        int error = 0;
        outcome = placeFile(folder, source, tempName, std::string(path.leaf()), error);
        if (!tempName.empty()) {
            ::unlinkat(folder, tempName.c_str(), 0);
        }
        if (outcome == Outcome::Protected) {
            refused(path, outcome);
        } else if (outcome == Outcome::Done) {
            madeHere(path.folder(), path.text());
        }
        // A file system without hard links (or with a link limit) gets a copy.
        copy = outcome == Outcome::Failed &&
               (error == EXDEV || error == EPERM || error == EMLINK || error == ENOTSUP || error == ENOSYS);
        m_error = error;
    }
    if (copy) {
        outcome = copyFile(source, path, archivedMode, mtime);
    }
    ::close(source);
    return outcome;
}

Outcome Destination::copyFile(int source, const SafePath& path, mode_t archivedMode, const timespec& mtime) {
    struct stat info {};
    if (::fstat(source, &info) != 0) {
        m_error = errno;
        return Outcome::Failed;
    }
    PendingFile file;
    Outcome outcome = beginFile(path, archivedMode, file, static_cast<std::uint64_t>(info.st_size));
    std::vector<char> buffer(kCopyBuffer);
    off_t offset = 0;
    for (ssize_t got = 1; outcome == Outcome::Done && got > 0;) {
        got = ::pread(source, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || (got > 0 && !file.write(buffer.data(), static_cast<std::size_t>(got)))) {
            m_error = got < 0 ? errno : file.error();
            outcome = m_error == ENOSPC ? Outcome::NoRoom : Outcome::Failed;
        }
        offset += got > 0 ? got : 0;
    }
    if (outcome == Outcome::Done) {
        outcome = file.commit(mtime);
        if (outcome == Outcome::Failed) {
            m_error = file.error();
        }
    }
    return outcome;
}

Outcome Destination::beginSpooled(mode_t archivedMode, std::uint64_t declaredSize, char* buffer,
                                  std::size_t capacity, SpooledFile& file) const {
    file.drop();
    file.m_error = 0;
    // Only what never changes after construction is read here, and the budget guards itself: any
    // thread may be here while the owner's thread uses the rest of the object.
    if (!m_room.admit(m_root, declaredSize)) {
        file.m_error = ENOSPC;
        return Outcome::NoRoom;
    }
    const mode_t mode = fileMode(archivedMode, m_umask);
    // In the destination folder itself, whatever folder the file is to go to: that one may not exist
    // yet, and making it is the owner's business, in the archive's order.
    // Readable too: where it cannot be linked into place, it is copied.
    const int fd = ::openat(m_root, ".", O_RDWR | O_TMPFILE | O_CLOEXEC, mode);
    if (fd < 0) {
        file.m_error = errno;
        return Outcome::Failed;
    }
    file.m_room = &m_room;
    file.m_guard = m_guard;
    file.m_fd = fd;
    file.m_output.start(fd, buffer, capacity);
    file.m_archivedMode = archivedMode;
    file.m_fixMode = (m_umask & (S_IRUSR | S_IWUSR)) != 0 ? mode : 0;
    return Outcome::Done;
}

Outcome Destination::makeFoldersFor(const SafePath& path) {
    int folder = -1;
    return outcomeOf(openFolder(path.folder(), true, folder));
}

Outcome Destination::placeSpooled(const SafePath& path, SpooledFile& file, mode_t archivedMode,
                                  const timespec& mtime) {
    if (!file.isOpen()) {
        m_error = EBADF;
        return Outcome::Failed;
    }
    int folder = -1;
    const Walk walk = openFolder(path.folder(), true, folder);
    if (walk != Walk::Open) {
        file.drop();
        return outcomeOf(walk);
    }
    // The file was sealed from another reading of the entry; what the caller read is what counts.
    const timespec times[2] = {mtime, mtime};
    const bool sameTime = file.mtime().tv_sec == mtime.tv_sec && file.mtime().tv_nsec == mtime.tv_nsec;
    if ((archivedMode != file.archivedMode() && ::fchmod(file.m_fd, fileMode(archivedMode, m_umask)) != 0) ||
        (!sameTime && ::futimens(file.m_fd, times) != 0)) {
        m_error = errno;
        file.drop();
        return Outcome::Failed;
    }
    std::string tempName;
    int error = 0;
    Outcome outcome = placeFile(folder, file.m_fd, tempName, std::string(path.leaf()), error);
    if (!tempName.empty()) {
        ::unlinkat(folder, tempName.c_str(), 0);
    }
    if (outcome == Outcome::Failed && error == EXDEV) {
        // A mount below the destination: the file can only be copied there.
        outcome = copyFile(file.m_fd, path, archivedMode, mtime);
    } else if (outcome == Outcome::Protected) {
        refused(path, outcome);
    } else if (outcome == Outcome::Failed) {
        m_error = error;
    } else {
        madeHere(path.folder(), path.text());
    }
    file.drop();
    return outcome;
}

void Destination::finish() {
    for (const FolderAttributes& folder : m_folderAttributes) {
        int fd = -1;
        if (m_created.count(folder.path) == 0 || openFolder(folder.path, false, fd) != Walk::Open) {
            continue;
        }
        ::fchmod(fd, folderMode(folder.mode, m_umask));
        const timespec times[2] = {folder.mtime, folder.mtime};
        ::futimens(fd, times);
    }
    m_folderAttributes.clear();
}

} // namespace brisko::enginelib
