#pragma once

#include <string>

namespace brisko::engines {

enum class TargetState { Removed, Folder, Missing, Refused };

// Clears the way for an entry the engine is to write again: the file (or link) at
// folder + entry name is removed when it lies inside the folder. A name that could reach outside
// (absolute, "..", drive or UNC prefixes) or a path through a symbolic link is Refused and nothing
// is touched; a folder stays. `folder` ends with '/'.
TargetState ClearTarget(const std::string& folder, const std::string& entryName);

} // namespace brisko::engines
