#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "batch/BatchDisplay.h"
#include "engines/Dialogs.h"
#include "engines/EngineAdapters.h"
#include "platform/FolderLock.h"
#include "platform/Trash.h"
#include "records/ProcessState.h"

namespace brisko::batch {

inline constexpr const char* kNoArchivesMessage = "No archive files were found in this directory.";

// "The folder <folder> does not exist." and "The folder <folder> is already being extracted.", the
// folder without its trailing separator.
std::string MissingFolderMessage(const std::string& folder);
std::string BusyFolderMessage(const std::string& folder);

// Passes over one folder at most: archives nested deeper than this are listed as not extracted.
inline constexpr int kMaxPasses = 32;

// Why a path is listed when no engine had the say.
inline constexpr const char* kUnreadableReason = "folder cannot be read";
inline constexpr const char* kTooDeepReason = "archives nested too deep";
inline constexpr const char* kNoSubfolderReason = "the subfolder name is no folder name";

// Hands one archive to the adapter of its kind (the last three characters of its path, upper-cased)
// and leaves the outcome in state.result.Succeeded. For a ZIP archive it first fills
// state.unzipOptions from the current settings. A kind without an adapter is left failed.
void ExtractArchive(std::string& archive, std::string& destination, records::ProcessState& state,
                    engines::ProgressDisplay& display, const engines::EngineAdapters& adapters);

// One batch run over a folder: every archive found is extracted into the destination the settings
// choose, failures are listed in the display, extracted archives go to the trash when asked, and
// further passes pick up archives that came out of archives.
//
// What a run may change: it writes only inside each archive's destination; an extraction never
// replaces an archive or volume of the pass (the engines refuse it, and the archive holding such an
// entry fails); the trash step moves exactly the files the engine read, while they are still those
// files. One run at a time works on a folder.
class BatchRun {
public:
    BatchRun(records::ProcessState& state, BatchDisplay& display, engines::Dialogs& dialogs,
             const engines::EngineAdapters& adapters,
             platform::TrashPlaces trash = platform::TrashPlacesFromEnvironment());

    // Runs one pass over `folder` (the raw command line on the first call) and, when archives inside
    // archives are wanted and something was extracted, the further passes, kMaxPasses in all at most.
    // Returns when all are done or a cancel ended them. A folder that does not exist (or is no
    // folder), or that another run is extracting, is refused with a message and nothing is done.
    void RunBatch(std::string folder);

    // Whether the first pass refused its folder (see RunBatch).
    bool Refused() const { return m_refused; }

    // How many archives the current pass found, and the 1-based position of the archive in hand.
    int ArchiveCount() const { return m_archiveCount; }
    int ArchiveIndex() const { return m_archiveIndex; }

private:
    bool takeFolder(const std::string& folder);
    // Lists a path as not extracted, once in the whole run.
    void listOnce(const std::string& path, const std::string& reason);
    void extract(const std::string& path, bool& anyExtracted);
    // Whether the path is in the done list: a folder of thousands of archives would otherwise search
    // the whole list for each of them.
    bool inDoneList(const std::string& path);

    records::ProcessState& m_state;
    BatchDisplay& m_display;
    engines::Dialogs& m_dialogs;
    const engines::EngineAdapters& m_adapters;
    platform::TrashPlaces m_trash;
    platform::FolderLock m_lock;
    std::vector<std::string> m_listed;      // paths listed by listOnce
    std::unordered_set<std::string> m_done; // the done list's first m_doneCounted paths
    std::size_t m_doneCounted = 0;
    bool m_refused = false;
    int m_archiveCount = 0;
    int m_archiveIndex = 0;
    int m_passes = 0;
};

} // namespace brisko::batch
