#pragma once

#include <string>
#include <vector>

#include "platform/Trash.h"
#include "records/ProcessState.h"

// Sending an extracted archive, with its other volumes, to the trash.
namespace brisko::batch {

// Moves one file to the trash. A file that cannot be trashed stays where it is; it is never
// deleted for good. The outcome is returned for callers that care; the deletion sequence does not.
platform::TrashOutcome DeleteToRecycleBin(const std::string& path, const platform::TrashPlaces& places);

// Trashes exactly the files an engine read for an archive (the archive, then each later volume it
// opened), each with its owner given read and write permission first, and only when every one of them
// is still the file that was read: a name that now leads to another file (replaced or renamed over
// since), or a file opened twice and different the second time, keeps the whole set where it is.
// A file that is a symbolic link is trashed as a link; its target is untouched.
// Returns how many files were moved to the trash.
int TrashFilesRead(const std::vector<records::PassFiles::Read>& files, const platform::TrashPlaces& places);

// For an engine that does not tell what it read, names decide.
// Gives the archive's owner read and write permission, trashes it, then does the same for each
// companion volume (see CompanionVolumes) in order, stopping at the first name that is not an
// ordinary file or not a volume of the set by its header (old-style "m.r00" and ACE "m.c00" names
// count only when the headers of the archive and the volume both say "volume"; "m.partN.rar" names
// count unless a header says "single archive"). A volume that is a symbolic link is trashed as a
// link; its target is untouched.
// Returns how many files were moved to the trash.
int DeleteArchiveSet(const std::string& path,
                     const platform::TrashPlaces& places = platform::TrashPlacesFromEnvironment());

} // namespace brisko::batch
