#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "batch/PathHelpers.h"

// Finding the archives a batch run works through.
namespace brisko::batch {

// Full paths of archives, in the order they are to be handled.
using ArchiveList = std::vector<std::string>;

// The file-name patterns of the archives Brisko extracts, matched without regard to case.
inline constexpr std::string_view kArchivePatterns = "*.rar;*.ace;*.zip";

// True when `name` matches one of the ';'-separated wildcard patterns ('*' any run, '?' one
// character), ignoring ASCII case.
bool MatchesPatterns(std::string_view name, std::string_view patterns = kArchivePatterns);

// Removes one leading and one trailing double quote (each on its own), then makes sure the text
// ends with a separator. Rewrites `folder` and returns the result. An empty text becomes the root.
std::string NormaliseFolder(std::string& folder, PathStyle style = kNativeStyle);

// Normalises `folder` in place and lists the archives in it and, with `recurse`, in its subfolders.
// A folder that cannot be read (no permission, a path too long for the system) contributes nothing
// to the list; its path, with its trailing separator, goes to `unreadable` when that is given. One
// that vanished meanwhile is not reported.
ArchiveList FindArchives(std::string& folder, bool recurse, std::vector<std::string>* unreadable = nullptr);

// The worker of FindArchives: appends the archives of `folder` to `list`. Entries of one folder are
// taken in natural name order ("a2" before "a10"), so that runs are repeatable; a subfolder's
// archives are inserted where the subfolder is met (depth first). Folders whose name starts with a
// dot are never entered, and neither are links to folders (as find does without -L): a search never
// leaves the chosen tree, and cannot loop. Only regular files (or links to them) are listed.
void SearchFolder(std::string& folder, bool recurse, ArchiveList& list,
                  std::vector<std::string>* unreadable = nullptr);

// Natural order of names: runs of digits compare by their value, other characters without regard
// to ASCII case; ties are broken byte by byte so that the order is total.
bool NaturalLess(std::string_view a, std::string_view b);

} // namespace brisko::batch
