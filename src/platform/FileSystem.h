#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The few file-system services the rest of the program needs, on native (UTF-8 or raw byte) paths.
// Nothing here throws; every failure is reported through the return value.
namespace brisko::platform {

// A regular file, or a symbolic link that leads to one.
bool OrdinaryFileExists(const std::string& path);

// A folder, or a symbolic link that leads to one.
bool FolderExists(const std::string& path);

// Creates one folder (not its parents) with the usual permissions (0777 less the umask).
// False when it could not be created, including when something already exists under that name.
bool CreateFolder(const std::string& path);

// Gives the owner read and write permission on an existing ordinary file, leaving every other bit.
// A symbolic link to a regular file counts as done without touching the link's target, which may lie
// anywhere. False when there is no ordinary file under that name or its mode cannot be changed.
bool MakeOwnerReadWrite(const std::string& path);

enum class EntryType { File, Folder, Other };

struct FolderEntry {
    std::string name;
    EntryType type = EntryType::Other; // after following symbolic links
    bool link = false;                 // the entry itself is a symbolic link
};

// Reads every entry of a folder (hidden ones too, never "." and ".."), in the order the file system
// delivers them, with one enumeration. Links are followed to find what an entry is; a dangling link
// is Other. False (and no entries) when the folder cannot be opened; errno tells why.
bool ReadFolder(const std::string& folder, std::vector<FolderEntry>& entries);

enum class TargetKind { Missing, File, Folder, Other };

// What lies at folder + "/" + relative, where `relative` is a checked relative path ('/'-separated,
// no ".." and no empty components). A symbolic link anywhere on the way below `folder` makes it Other:
// whatever lies behind a link is not inside the folder. The final component is not followed either:
// a link there counts as File (it can be removed without touching its target).
TargetKind KindInside(const std::string& folder, const std::string& relative);

// Removes the File that KindInside reports (a link is removed itself, never its target).
bool RemoveFileInside(const std::string& folder, const std::string& relative);

// Device and inode of what the path leads to. False when it does not exist.
bool IdentityOf(const std::string& path, dev_t& device, ino_t& inode);

} // namespace brisko::platform
