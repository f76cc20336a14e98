#include "batch/DeleteArchiveSet.h"

#include "batch/VolumeHeaders.h"
#include "batch/VolumeNames.h"
#include "platform/FileSystem.h"

namespace brisko::batch {

platform::TrashOutcome DeleteToRecycleBin(const std::string& path, const platform::TrashPlaces& places) {
    return platform::MoveToTrash(path, places);
}

namespace {

// Whether a file found under a volume name belongs to the set. "m.part2.rar" beside "m.part1.rar" is
// one set unless a header says otherwise; "m.r00" beside "m.rar" (or "m.c00" beside "m.ace") is
// only taken when the headers mark both as volumes: such names are also left by unrelated
// downloads, and trashing one of those would lose it from its folder.
bool BelongsToSet(VolumeMark mark, bool partNames) {
    return partNames ? mark != VolumeMark::Single : mark == VolumeMark::Volume;
}

} // namespace

int TrashFilesRead(const std::vector<records::PassFiles::Read>& files, const platform::TrashPlaces& places) {
    for (const records::PassFiles::Read& file : files) {
        dev_t device = 0;
        ino_t inode = 0;
        if (file.changed || !platform::IdentityOf(file.path, device, inode) || device != file.id.Device ||
            inode != file.id.Inode) {
            return 0;
        }
    }
    int trashed = 0;
    for (const records::PassFiles::Read& file : files) {
        if (platform::MakeOwnerReadWrite(file.path) &&
            DeleteToRecycleBin(file.path, places) == platform::TrashOutcome::Trashed) {
            ++trashed;
        }
    }
    return trashed;
}

int DeleteArchiveSet(const std::string& path, const platform::TrashPlaces& places) {
    const bool partNames = ArchiveKindOf(path) == "RAR" && ParsePartVolume(path).has_value();
    const bool isSet = BelongsToSet(VolumeMarkOf(path), partNames);
    // Step one settles that the name is an ordinary file at all; the write permission also keeps a
    // read-only archive from coming back read-only when it is restored from the trash.
    if (!platform::MakeOwnerReadWrite(path)) {
        return 0;
    }
    int trashed = DeleteToRecycleBin(path, places) == platform::TrashOutcome::Trashed ? 1 : 0;
    if (!isSet) {
        return trashed;
    }
    // A volume that cannot be trashed stays behind without ending the sequence; a missing name, or
    // a file that is no volume of a set, ends it, as that is where the set stops.
    for (const std::string& volume : CompanionVolumes(path)) {
        if (!BelongsToSet(VolumeMarkOf(volume), partNames) || !platform::MakeOwnerReadWrite(volume)) {
            break;
        }
        if (DeleteToRecycleBin(volume, places) == platform::TrashOutcome::Trashed) {
            ++trashed;
        }
    }
    return trashed;
}

} // namespace brisko::batch
