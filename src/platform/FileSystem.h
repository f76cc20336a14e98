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
    dev_t device = 0;                  // of what the entry leads to; set for folders
    ino_t inode = 0;
};

// Reads every entry of a folder (hidden ones too, never "." and ".."), in the order the file system
// delivers them, with one enumeration. Links are followed to find what an entry is; a dangling link
// is Other. False (and no entries) when the folder cannot be opened.
bool ReadFolder(const std::string& folder, std::vector<FolderEntry>& entries);

// Device and inode of what the path leads to. False when it does not exist.
bool IdentityOf(const std::string& path, dev_t& device, ino_t& inode);

} // namespace brisko::platform
