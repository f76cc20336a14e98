#include "batch/DeleteArchiveSet.h"

#include "batch/VolumeNames.h"
#include "platform/FileSystem.h"

namespace brisko::batch {

platform::TrashOutcome DeleteToRecycleBin(const std::string& path, const platform::TrashPlaces& places) {
    return platform::MoveToTrash(path, places);
}

int DeleteArchiveSet(const std::string& path, const platform::TrashPlaces& places) {
    // Step one settles that the name is an ordinary file at all; the write permission also keeps a
    // read-only archive from coming back read-only when it is restored from the trash.
    if (!platform::MakeOwnerReadWrite(path)) {
        return 0;
    }
    int trashed = DeleteToRecycleBin(path, places) == platform::TrashOutcome::Trashed ? 1 : 0;
    // A volume that cannot be trashed stays behind without ending the sequence; only a missing name
    // ends it, as that is where the set stops.
    for (const std::string& volume : CompanionVolumes(path)) {
        if (!platform::MakeOwnerReadWrite(volume)) {
            break;
        }
        if (DeleteToRecycleBin(volume, places) == platform::TrashOutcome::Trashed) {
            ++trashed;
        }
    }
    return trashed;
}

} // namespace brisko::batch
