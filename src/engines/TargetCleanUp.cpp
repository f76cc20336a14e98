#include "engines/TargetCleanUp.h"

#include "common/SafePath.h"
#include "platform/FileSystem.h"

namespace brisko::engines {

TargetState ClearTarget(const std::string& folder, const std::string& entryName) {
    // The same rule the engines write by: a name from an archive is checked before it is used.
    enginelib::SafePath safe;
    if (enginelib::sanitiseEntryName(entryName, enginelib::Separators::SlashAndBackslash, safe) !=
        enginelib::NameVerdict::Safe) {
        return TargetState::Refused;
    }
    switch (platform::KindInside(folder, safe.text())) {
    case platform::TargetKind::File:
        return platform::RemoveFileInside(folder, safe.text()) ? TargetState::Removed : TargetState::Refused;
    case platform::TargetKind::Folder:
        return TargetState::Folder;
    case platform::TargetKind::Missing:
        return TargetState::Missing;
    default:
        return TargetState::Refused;
    }
}

} // namespace brisko::engines
