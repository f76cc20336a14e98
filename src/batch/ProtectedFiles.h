#pragma once

#include <string>
#include <vector>

#include "batch/FindArchives.h"
#include "records/ProcessState.h"

// The archive files of a pass that no extraction may replace, by identity.
namespace brisko::batch {

// Every archive of the list and every volume of its set that exists (named as CompanionVolumes says),
// each by its name's own file and, for a symbolic link, by the file it leads to. Sorted by device and
// inode, without repeats, as the engines take it.
std::vector<BriskoFileId> ProtectedFilesOf(const ArchiveList& archives);

// Adds what an engine read to such a list, keeping it sorted.
void AddProtected(std::vector<BriskoFileId>& list, const std::vector<records::PassFiles::Read>& read);

} // namespace brisko::batch
