#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "records/Settings.h"

// Where an archive is extracted: its own folder, or one folder directly below it, never anywhere
// else. One rule for every destination mode.
namespace brisko::batch {

// Whether `name` names one folder directly below another: not empty, not "." or "..", and with
// neither a separator nor a zero byte in it.
bool IsFolderBelow(std::string_view name);

// The characters the options refuse in the name of the single subfolder.
inline constexpr std::string_view kForbiddenFolderCharacters = "/:*?\"<>|";

enum class SubFolderNameVerdict {
    Valid,
    Empty,              // nothing typed
    NotAFolder,         // "." or "..": no folder below the archive's
    ForbiddenCharacter, // one of kForbiddenFolderCharacters (or a zero byte)
};

// The options' rule for the name of the single subfolder, wherever that name comes from.
SubFolderNameVerdict CheckSubFolderName(std::string_view name);

// The name the single subfolder has when none was chosen, and what replaces an invalid stored one.
inline constexpr const char* kDefaultSubFolderName = "Briskoed";

// The folder a per-archive subfolder takes when the archive's name without its extension is no
// usable folder name (".zip", "..zip", "...zip"): the whole file name with this added.
inline constexpr std::string_view kPerArchiveFallbackSuffix = "_files";

struct ArchiveDestination {
    std::string folder; // where the engine writes
    std::string shown;  // the destination line, between single quotes
};

// The destination the settings choose for `archive` (a full path): a subfolder per archive, the
// archive's own folder, or the single subfolder (the fallback mode). Nothing when the single
// subfolder's name is no folder directly below the archive's (a stored "..", "a/b").
std::optional<ArchiveDestination> DestinationFor(const std::string& archive, const records::Settings& settings);

} // namespace brisko::batch
