#pragma once

#include <string>

// Moving one file to the desktop trash, so that the user can restore it from the file manager.
// It follows the freedesktop.org trash layout: the home trash for files on the home trash's file
// system (absolute Path=), and on any other mount $topdir/.Trash/$uid (only when .Trash is a real,
// sticky folder) or else $topdir/.Trash-$uid (relative Path=). A file is only ever renamed into a
// trash: when no trash on its own file system can take it, it stays where it is. Nothing here
// deletes a file for good.
namespace brisko::platform {

enum class TrashOutcome {
    Trashed,     // the file now lies in a trash, with its .trashinfo
    NotFound,    // nothing under that name (a dangling link is still trashed: it exists)
    NotAFile,    // a folder or a special file; left alone
    NoTrash,     // no usable trash on the file's file system; left where it is
    MoveFailed,  // the trash was found but the rename failed; left where it is
};

// Where the home trash lives. Empty fields are worked out from the environment: $XDG_DATA_HOME,
// else $HOME/.local/share, else the account's home folder from the user database.
struct TrashPlaces {
    std::string homeTrash; // e.g. /home/u/.local/share/Trash
};

TrashPlaces TrashPlacesFromEnvironment();

// Moves the file (or the symbolic link itself, never its target) to the trash.
TrashOutcome MoveToTrash(const std::string& path, const TrashPlaces& places = TrashPlacesFromEnvironment());

} // namespace brisko::platform
