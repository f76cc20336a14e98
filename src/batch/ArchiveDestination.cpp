#include "batch/ArchiveDestination.h"

#include "batch/PathHelpers.h"

namespace brisko::batch {

namespace {

constexpr char kSeparator = SeparatorOf(kNativeStyle);

// How a folder is named on the destination line: its last name, or "/" for the root.
std::string shownFolderName(const std::string& folder) {
    const std::string name = LastFolderName(folder).value_or(std::string());
    return name.empty() && folder == std::string(1, kSeparator) ? folder : name;
}

// "shown/name", without doubling the separator after the root.
std::string joinShown(const std::string& shown, const std::string& name) {
    return !shown.empty() && shown.back() == kSeparator ? shown + name : shown + kSeparator + name;
}

ArchiveDestination below(const std::string& archiveFolder, const std::string& name) {
    return {archiveFolder + name, "'" + joinShown(shownFolderName(archiveFolder), name) + "'"};
}

} // namespace

bool IsFolderBelow(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find(kSeparator) == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

SubFolderNameVerdict CheckSubFolderName(std::string_view name) {
    if (name.empty()) {
        return SubFolderNameVerdict::Empty;
    }
    if (name.find_first_of(kForbiddenFolderCharacters) != std::string_view::npos ||
        name.find('\0') != std::string_view::npos) {
        return SubFolderNameVerdict::ForbiddenCharacter;
    }
    return IsFolderBelow(name) ? SubFolderNameVerdict::Valid : SubFolderNameVerdict::NotAFolder;
}

std::optional<ArchiveDestination> DestinationFor(const std::string& archive, const records::Settings& settings) {
    const std::string archiveFolder = FolderOf(archive);
    if (settings.SeparateSubs == 1) {
        const std::optional<std::string> stripped = StripExtension(archive);
        std::string base = stripped ? FileNameOf(*stripped) : std::string();
        if (!IsFolderBelow(base)) {
            // "...zip" would name the parent folder, "..zip" and ".zip" the archive's own.
            base = FileNameOf(archive) + std::string(kPerArchiveFallbackSuffix);
        }
        return below(archiveFolder, base);
    }
    if (settings.SameFolder == 1) {
        return ArchiveDestination{archiveFolder, "'" + shownFolderName(archiveFolder) + "'"};
    }
    if (!IsFolderBelow(settings.SubFolderName)) {
        return std::nullopt;
    }
    return below(archiveFolder, settings.SubFolderName);
}

} // namespace brisko::batch
