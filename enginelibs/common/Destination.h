#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/PendingFile.h"
#include "common/RoomBudget.h"
#include "common/RunGuard.h"
#include "common/SafePath.h"
#include "common/SpooledFile.h"

namespace brisko::enginelib {

enum class Outcome {
    Done,
    Refused,  // the path passes through a symbolic link, or the link target is unsafe
    Conflict, // something of another kind is in the way: a file where a folder is needed, or a folder
              // where a file or link is to go
    Failed,   // the system refused (errno in Destination::error())
    Protected, // the target is one of the files the run's guard protects (an archive of the run)
    NoRoom,    // writing it would leave less free space than the reserve (see Destination)
};

struct ExistingTarget {
    enum class Kind { None, File, Folder, Link, Other };
    Kind kind = Kind::None;
    timespec mtime{}; // of the thing itself, never of what a link points to
};

// The folder an archive is extracted into. Every operation works relative to a descriptor of that
// folder and opens each folder below it one level at a time without following symbolic links, so
// nothing is ever created, written or changed through a link: neither one the user had, nor one an
// earlier entry or an earlier archive made. The folder itself may be reached through links (the user
// chose it). Folders are opened or created once and kept open (at most 256 at a time, and at most a
// quarter of the process's descriptor limit).
//
// Modes follow FileModes: set-id bits dropped, the umask applied, the owner keeps read and write.
// Devices, FIFOs and sockets are never created: there is no operation for them.
//
// A file or link replaces what is at its name only when that is not a file the guard protects; a
// folder is never replaced.
//
// The disk is never filled: a file is not begun, and one being written is stopped (NoRoom), when it
// would leave less free space on the destination's file system than the reserve, 5% of the file
// system or 1 GiB, whichever is smaller (see RoomBudget: every file of the object, spooled ones
// included, counts against one budget).
//
// One thread at a time uses the object, except beginSpooled, which any thread may call while the
// object lives. Not safe against other processes rearranging the tree while it works; safe against
// anything an archive can contain.
class Destination {
public:
    // Opens `folder`, which must exist. Check isOpen(); error() tells why not. `guard` (may be null)
    // must outlive the object.
    explicit Destination(const std::string& folder, const RunGuard* guard = nullptr);
    ~Destination();
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    bool isOpen() const { return m_root >= 0; }
    // errno of the failed opening or of the last Failed outcome.
    int error() const { return m_error; }

    // What is at `path` now, without following a link there. Refused when a folder on the way is a
    // link, Conflict when it is not a folder; a missing folder on the way means Kind::None. In a folder
    // this object created, whatever it did not put there itself is known to be missing without asking
    // the file system.
    Outcome lookup(const SafePath& path, ExistingTarget& target);

    // Makes the folder `path` and any missing folders above it; `created` tells whether `path` itself
    // was new. A folder that this object created gets `archivedMode` (see folderMode) and `mtime` in
    // finish(), after everything inside it is written; a folder that was there before is left alone.
    Outcome makeFolder(const SafePath& path, mode_t archivedMode, const timespec& mtime, bool& created);

    // Starts the file `path` (see PendingFile), making missing folders above it. `archivedMode` as in
    // fileMode. Only one file at a time uses the object's write buffer; further ones write unbuffered.
    // `declaredSize` is the size the archive announces, when it does (NoRoom at once when it does
    // not fit above the reserve).
    Outcome beginFile(const SafePath& path, mode_t archivedMode, PendingFile& file,
                      std::uint64_t declaredSize = 0);

    // From now on files are made under a temporary name, as on a file system that cannot keep a file
    // unnamed until it is whole; temporaries that dead processes left in a folder are removed when a
    // file is first begun there.
    void useNamedTemporaries() { m_unnamed = false; }
    // Whether files are made unnamed (see PendingFile) as far as the object knows; spooled files need it.
    bool unnamedFiles() const { return m_unnamed; }

    // Safe on any thread: starts a file that has no place yet (see SpooledFile), unnamed in the
    // destination folder, with the mode fileMode gives `archivedMode`. `buffer` (`capacity` bytes) is
    // lent to the file until it is sealed. `declaredSize` as in beginFile. NoRoom when it does not fit
    // above the reserve; Failed when the file system refuses (file.error(): EOPNOTSUPP and the like
    // where it cannot keep a file unnamed).
    Outcome beginSpooled(mode_t archivedMode, std::uint64_t declaredSize, char* buffer, std::size_t capacity,
                         SpooledFile& file) const;

    // Makes the folders above `path` that are missing, as beginFile does before a file is begun there.
    Outcome makeFoldersFor(const SafePath& path);

    // Puts the sealed spooled `file` at `path` the way PendingFile::commit puts a file begun there with
    // beginFile: missing folders above it made, a file or link at the name replaced, never a folder
    // (Failed, EISDIR), never a protected file (Protected). `archivedMode` and `mtime` are what the
    // file is to have; a file sealed otherwise is corrected. Where the file system cannot give the
    // file its name (another mount below the destination), a copy is written there instead. Done, or
    // an outcome as in beginFile and commit (error() for Failed). The spooled file is dropped either way.
    Outcome placeSpooled(const SafePath& path, SpooledFile& file, mode_t archivedMode, const timespec& mtime);

    // Makes `path` a symbolic link to `target`, replacing a file or link already there (never a
    // folder: Conflict; never a protected file: Protected). The target is checked with checkLinkTarget
    // and created in its normalised form; an unsafe one gives Refused and `verdict` says why.
    Outcome makeLink(const SafePath& path, std::string_view target, Separators separators,
                     const timespec& mtime, LinkVerdict& verdict);

    // Makes `path` a second name of the regular file `existing` (both below the destination, reached
    // without passing through a link), replacing what `path` may hold as a file would. With `copy`,
    // or where the file system refuses a hard link, `path` becomes a copy instead, written like any
    // file, with `archivedMode` and `mtime`. Refused when `existing` is not a regular file.
    Outcome linkOrCopy(const SafePath& path, const SafePath& existing, bool copy, mode_t archivedMode,
                       const timespec& mtime);

    // Gives the folders made by makeFolder their modes and times. Call once, when the archive is done.
    void finish();

private:
    friend class PendingFile;

    enum class Walk { Open, Missing, ThroughLink, NotFolder, Error };

    Walk openFolder(std::string_view folder, bool create, int& fd);
    Walk classify(int parent, const std::string& name, int error);
    Outcome outcomeOf(Walk walk) const;
    void closeFolders();
    bool createTemp(std::string& name, const std::function<int(const char*)>& make);
    std::string nextTempName();
    bool isProtected(int folder, const std::string& name);
    pid_t pid();
    // Notes that this object put `path` in place, when it is in a folder the object created.
    void madeHere(std::string_view folder, std::string_view path);
    // Writes the data of the open file `source` to `path` as a new file (beginFile and commit).
    Outcome copyFile(int source, const SafePath& path, mode_t archivedMode, const timespec& mtime);
    // Tells the guard why the writer turned an entry down (NoRoom, Protected).
    void refused(const SafePath& path, Outcome outcome);
    // Puts a finished file under `target` in `folder`: an unnamed one (`tempName` empty) is linked
    // there, a named one renamed. `tempName` names whatever temporary is left to remove on failure.
    Outcome placeFile(int folder, int fd, std::string& tempName, const std::string& target, int& error);
    void sweepStaleTemporaries(int folder, const std::string& relative);

    int m_root = -1;
    int m_error = 0;
    mode_t m_umask = 022;
    std::size_t m_maxOpenFolders;
    std::unordered_map<std::string, int> m_folders; // open descriptors by relative path
    std::unordered_set<std::string> m_created;      // folders made here
    std::string m_missing;                          // the folder the last walk without making found missing
    std::unordered_set<std::string> m_madeInCreated; // what this object put in the folders it made
    struct FolderAttributes {
        std::string path;
        mode_t mode;
        timespec mtime;
    };
    std::vector<FolderAttributes> m_folderAttributes;
    std::unique_ptr<char[]> m_buffer;
    bool m_bufferLent = false;
    int m_openFiles = 0; // pending files, which borrow folder descriptors
    pid_t m_pid = 0; // asked when a temporary name first needs it
    unsigned long m_tempCounter = 0;
    const RunGuard* m_guard = nullptr;
    bool m_unnamed = true;                          // files start unnamed (O_TMPFILE) while that works
    mutable RoomBudget m_room;                      // shared with the spooled files, on any thread
    std::unordered_set<std::string> m_swept;        // folders cleared of dead runs' temporaries
};

} // namespace brisko::enginelib
